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

}  // namespace tavoric::common::hash
