// The reserve configuration shared by both table designs.
//
// A table of n slots with reserve exponent k keeps the fraction δ = 2^-k of
// its slots free: it accepts n − ⌊n / 2^k⌋ entries (all n when k ≥ 32, where
// the reserve rounds to nothing on every representable n of interest). Each
// design turns (n, k) into its own levels (funnel/geometry.hpp,
// elastic/geometry.hpp).
#pragma once

#include <cstddef>
#include <cstdint>


namespace tavoric::common::arena {

// Exponents above this keep no slot free on any table the word can count
// (the reserve rounds to nothing); each design decides what they mean.
inline constexpr std::uint32_t kLargestReserveExponent = 31;

// Entries a table of n slots accepts with reserve exponent k: the one
// reserve rule of both designs.
constexpr std::size_t insert_budget_for(std::size_t n, std::uint32_t k) noexcept {
    if (k > kLargestReserveExponent) return n;
    return n - (n >> k);
}

struct PaperConfig {
    std::size_t n = 0;    // slots the plan is for
    std::uint32_t k = 0;  // reserve exponent, δ = 2^-k

    constexpr std::size_t insert_budget() const noexcept { return insert_budget_for(n, k); }
};

}  // namespace tavoric::common::arena
