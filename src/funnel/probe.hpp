// The probe arithmetic of a Funnel table: the two words every probe of a
// key derives from and the unbiased probe into a range with its seven
// retries. (The membership filter bits are common/arena/membership.hpp.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/hash/bounded_reduction.hpp"
#include "common/hash/splitmix.hpp"

namespace tavoric::funnel {

// The retries of a rejected Funnel probe, r = 1..7; out of line because a
// rejection has probability below m / 2^64.
[[gnu::cold, gnu::noinline]] constexpr std::optional<std::uint64_t> reduce_funnel_retries_after_rejection(
    std::uint64_t mix, std::uint64_t base, std::uint64_t selector, std::uint64_t m, std::uint64_t threshold) noexcept {
    for (std::uint64_t r = 1; r < 8; ++r) {
        std::uint64_t u = mix ^ common::hash::splitmix64_finalize(base ^ (selector | r));
        common::hash::WideProduct p = common::hash::wide_multiply(u, m);
        if (p.low >= threshold) return p.high;
    }
    return std::nullopt;
}

// The Funnel probe into a range of m positions with prepared threshold θ:
// u = mix XOR F(base XOR selector); a product whose low half is below θ is
// rejected and retried with selector | r for r = 1..7 (selectors keep their
// low byte 0 for this). Eight rejections in a row give no position.
[[gnu::always_inline]] constexpr inline std::optional<std::uint64_t> reduce_prepared_funnel_retries(
    std::uint64_t mix, std::uint64_t base, std::uint64_t selector, std::uint64_t m, std::uint64_t threshold) noexcept {
    const std::uint64_t u = mix ^ common::hash::splitmix64_finalize(base ^ selector);
    // The product's halves are taken here rather than through a WideProduct:
    // GCC then keeps them in registers instead of storing the pair to the
    // stack on every probe.
    const unsigned __int128 p = static_cast<unsigned __int128>(u) * m;
    if (static_cast<std::uint64_t>(p) >= threshold) [[likely]]
        return static_cast<std::uint64_t>(p >> 64);
    return reduce_funnel_retries_after_rejection(mix, base, selector, m, threshold);
}

inline constexpr std::uint64_t kProbeBaseOffset = 0x7A8FBB71C84E22ECULL;
inline constexpr std::uint64_t kKeyMixOffset = 0xD9127938B4105710ULL;
inline constexpr std::uint64_t kUniformSelector = 0x4000000000000000ULL;
inline constexpr std::uint64_t kFirstChoiceSelector = 0x8000000000000000ULL;
inline constexpr std::uint64_t kSecondChoiceSelector = 0xC000000000000000ULL;

// The two words every probe of one key derives from.
struct ProbeKey {
    std::uint64_t base;
    std::uint64_t mix;

    [[gnu::always_inline]] static constexpr ProbeKey of(std::uint64_t hash) noexcept {
        return {hash + kProbeBaseOffset, common::hash::splitmix64_finalize(hash + kKeyMixOffset)};
    }
    [[gnu::always_inline]] constexpr std::optional<std::uint64_t> position(std::uint64_t selector, std::uint64_t range,
                                                    std::uint64_t threshold) const noexcept {
        return reduce_prepared_funnel_retries(mix, base, selector, range, threshold);
    }
};

}  // namespace tavoric::funnel
