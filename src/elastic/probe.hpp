// Prepared keys and probe slots of an Elastic table.
//
// From the 64-bit table hash h a lookup derives, once:
//   T  the fingerprint kept in the slot's control byte (top 7 bits, never 0),
//   H  the prepared hash, h shifted by a constant and run through the
//      SplitMix64 finalizer, which every probe position is derived from,
//   M  the two-bit membership mask recorded in the key's membership group.
// Probe t of level l uses the 32-bit selector s(l, t) = l * 65536 + 8 t: the
// level in bits 16 and up, t in bits 3..15, bits 0..2 free for the retry
// counter of the unbiased reduction over levels whose length is not a power
// of two (every table the Elastic design builds has power-of-two levels, so
// that path only serves other lengths).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/arena/control.hpp"
#include "elastic/phi.hpp"
#include "common/hash/splitmix.hpp"

namespace tavoric::elastic {

using common::hash::splitmix64_finalize;

inline constexpr std::uint64_t kElasticHashOffset = 0x3492F879D6490B46ULL;
inline constexpr std::size_t kElasticReductionTries = 8;

struct ElasticPreparedKey {
    std::uint8_t fingerprint;  // T
    std::uint64_t prepared;    // H
    std::uint64_t membership;  // M
};

constexpr std::uint8_t elastic_fingerprint(std::uint64_t h) noexcept { return common::arena::fingerprint_of(h); }

constexpr ElasticPreparedKey elastic_prepare(std::uint64_t h) noexcept {
    const std::uint64_t H = splitmix64_finalize(h - kElasticHashOffset);
    const std::uint64_t M = (std::uint64_t{1} << (H & 63)) | (std::uint64_t{1} << ((H >> 32) & 63));
    return {elastic_fingerprint(h), H, M};
}

constexpr std::uint32_t elastic_selector(std::uint32_t level, std::uint32_t probe) noexcept {
    return level * 65536u + 8u * probe;
}

constexpr std::uint32_t elastic_selector_level(std::uint32_t selector) noexcept {
    return (selector >> 16) & 0x1F;
}

// g(H, x) = H xor F(H xor x), x a 32-bit value zero-extended.
constexpr std::uint64_t elastic_probe_mix(std::uint64_t H, std::uint32_t x) noexcept {
    return H ^ splitmix64_finalize(H ^ std::uint64_t{x});
}

struct ElasticReduction {
    std::size_t slot;
    std::size_t tries;
};

// Unbiased multiply-shift with rejection over any length n: try the selector
// and its next tries - 1 neighbours; none when n = 0 or every try is
// rejected.
constexpr std::optional<ElasticReduction> reduce_prepared_elastic_non_power(
    std::uint64_t H, std::uint32_t selector, std::size_t n, std::size_t tries) noexcept {
    if (n == 0) return std::nullopt;
    const auto n64 = static_cast<std::uint64_t>(n);
    const std::uint64_t threshold = (0 - n64) % n64;  // 2^64 mod n
    for (std::size_t c = 0; c < tries; ++c) {
        const std::uint64_t x = elastic_probe_mix(H, selector + static_cast<std::uint32_t>(c));
        const u128 p = static_cast<u128>(x) * n64;
        if (static_cast<std::uint64_t>(p) >= threshold) {
            return ElasticReduction{static_cast<std::size_t>(p >> 64), c + 1};
        }
    }
    return std::nullopt;
}

// The rejection path, kept out of line: every table the Elastic design builds
// has power-of-two levels, so lookups never take it.
[[gnu::noinline]] constexpr std::optional<std::size_t> elastic_probe_slot_non_power(std::uint64_t H,
                                                                                    std::uint32_t selector,
                                                                                    std::size_t n) noexcept {
    auto r = reduce_prepared_elastic_non_power(H, selector, n, kElasticReductionTries);
    if (!r) return std::nullopt;
    return r->slot;
}

// The same for a length n known to be a power of two (1 included), without
// a branch: the top log2(n) bits of the mix, shifted in two steps so that
// n = 1 gives 0 without a shift by 64.
constexpr std::size_t elastic_probe_slot_power_of_two(std::uint64_t H, std::uint32_t selector,
                                                      std::size_t n) noexcept {
    return static_cast<std::size_t>((elastic_probe_mix(H, selector) >> 1) >> (63 - std::countr_zero(n)));
}

// Slot of the probe with this selector in a level of length n: the top bits
// of the mix for power-of-two lengths, the rejection reduction otherwise.
// Inlined into the lookup walk, where it runs once per probe: the
// power-of-two case is a finalizer and a shift.
[[gnu::always_inline]] constexpr inline std::optional<std::size_t> elastic_probe_slot(std::uint64_t H,
                                                                                     std::uint32_t selector,
                                                                                     std::size_t n) noexcept {
    if (n != 0 && (n & (n - 1)) == 0) [[likely]] {
        if (n == 1) return std::size_t{0};
        const auto shift = 64 - std::countr_zero(n);
        return static_cast<std::size_t>(elastic_probe_mix(H, selector) >> shift);
    }
    return elastic_probe_slot_non_power(H, selector, n);
}

}  // namespace tavoric::elastic
