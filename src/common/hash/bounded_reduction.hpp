// Bounded reductions: mapping a 64-bit word onto [0, m) without division.
//
// The position is the high half of the 128-bit product u·m. It is unbiased
// when products whose low half falls below θ = 2^64 mod m are rejected
// (Lemire's method); θ depends only on m, so tables compute it once per range
// ("prepared") and the lookup path never divides.
#pragma once

#include <cstdint>
#include <optional>

#include "common/hash/splitmix.hpp"

namespace tavoric::common::hash {

struct WideProduct {
    std::uint64_t high;
    std::uint64_t low;
};

constexpr WideProduct wide_multiply(std::uint64_t a, std::uint64_t b) noexcept {
    unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
    return {static_cast<std::uint64_t>(p >> 64), static_cast<std::uint64_t>(p)};
}

// High half of a·b: for a uniform a, a position in [0, b).
constexpr std::uint64_t multiply_high(std::uint64_t a, std::uint64_t b) noexcept { return wide_multiply(a, b).high; }

// 2^64 mod m, for m >= 1.
constexpr std::uint64_t reduction_threshold(std::uint64_t m) noexcept { return (0 - m) % m; }

// The retries of a rejected Funnel probe, r = 1..7; out of line because a
// rejection has probability below m / 2^64.
[[gnu::cold, gnu::noinline]] constexpr std::optional<std::uint64_t> reduce_funnel_retries_after_rejection(
    std::uint64_t mix, std::uint64_t base, std::uint64_t selector, std::uint64_t m, std::uint64_t threshold) noexcept {
    for (std::uint64_t r = 1; r < 8; ++r) {
        std::uint64_t u = mix ^ splitmix64_finalize(base ^ (selector | r));
        WideProduct p = wide_multiply(u, m);
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
    std::uint64_t u = mix ^ splitmix64_finalize(base ^ selector);
    WideProduct p = wide_multiply(u, m);
    if (p.low >= threshold) [[likely]]
        return p.high;
    return reduce_funnel_retries_after_rejection(mix, base, selector, m, threshold);
}

}  // namespace tavoric::common::hash
