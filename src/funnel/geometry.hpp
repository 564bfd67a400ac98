// The Funnel plan: how n slots and reserve exponent k become levels.
//
// A Funnel table of n slots has α = 4k + 10 levels of buckets β = 2k slots
// wide, followed by a special array of S slots (half uniform probing, half
// two-choice buckets of width w = 2λ). The plan picks S within
// [max(⌈δn/2⌉, 4λ), min(n − αβ, ⌊3δn/4⌋)] so that the level part n − S is a
// multiple of β and ⌊S/2⌋ a positive multiple of w, then splits the level
// buckets Bt = (n − S)/β over the α levels so that they shrink by about a
// quarter per level. Each count lies between the lower and the upper
// successor of the one before (lo and hi below); the split starts from a
// first-level count a1 near Bt/4 and is validated by running it.
//
// Many slot counts have no plan at all; the size search in
// funnel/layout.hpp finds the admissible ones.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numeric>
#include <optional>

namespace tavoric::funnel {

// Funnel tables need a reserve of at most 1/8: below k = 3 the levels and
// the special array do not fit the reserve.
inline constexpr std::uint32_t kMinReserveExponent = 3;

// Upper successor: min(⌊3a/4⌋ + 1, a).
constexpr std::size_t funnel_hi(std::size_t a) noexcept {
    std::size_t next = (a % 4 == 0) ? a - a / 4 + 1 : a - a / 4;
    return std::min(next, a);
}

// Lower successor: max(a − ⌊a/4⌋ − 1, 1).
constexpr std::size_t funnel_lo(std::size_t a) noexcept {
    std::size_t next = a - a / 4 - 1;
    return std::max<std::size_t>(next, 1);
}

// Starting from a and applying hi, does the running total of at most m terms
// reach t? An overflowing total counts as reaching.
constexpr bool hi_sum_reaches(std::size_t a, std::size_t m, std::size_t t) noexcept {
    std::size_t total = 0;
    if (total >= t) return true;
    for (std::size_t i = 0; i < m; ++i) {
        if (a > std::numeric_limits<std::size_t>::max() - total) return true;
        total += a;
        if (total >= t) return true;
        a = funnel_hi(a);
    }
    return false;
}

// Does the total of all m terms of the lo-sequence from a stay within t? An
// overflow counts as exceeding.
constexpr bool lo_sum_within(std::size_t a, std::size_t m, std::size_t t) noexcept {
    std::size_t total = 0;
    for (std::size_t i = 0; i < m; ++i) {
        if (a > std::numeric_limits<std::size_t>::max() - total) return false;
        total += a;
        if (total > t) return false;
        a = funnel_lo(a);
    }
    return true;
}

// Yields the bucket count of each level, largest feasible first.
class FunnelBucketCounts {
public:
    constexpr FunnelBucketCounts(std::size_t first, std::size_t buckets, std::size_t levels) noexcept
        : current_(first), remaining_(buckets), levels_left_(levels) {}

    constexpr std::optional<std::size_t> next() noexcept {
        bool was_active = active_;
        active_ = false;
        if (!was_active || remaining_ < current_ || levels_left_ == 0) return std::nullopt;
        const std::size_t a = current_;
        const std::size_t m = levels_left_;
        remaining_ -= a;
        levels_left_ = m - 1;
        const std::size_t lo = funnel_lo(a), hi = funnel_hi(a);
        if (m == 1 || lo > hi) return a;
        for (std::size_t c = hi; c > lo; --c) {
            if (lo_sum_within(c, levels_left_, remaining_) && hi_sum_reaches(c, levels_left_, remaining_)) {
                current_ = c;
                active_ = true;
                return a;
            }
        }
        current_ = lo;
        active_ = lo_sum_within(lo, levels_left_, remaining_) && hi_sum_reaches(lo, levels_left_, remaining_);
        return a;
    }

    constexpr std::size_t remaining() const noexcept { return remaining_; }

private:
    bool active_ = true;
    std::size_t current_;
    std::size_t remaining_;
    std::size_t levels_left_;
};

struct FunnelPlan {
    std::size_t n = 0;
    std::uint32_t k = 0;
    std::size_t alpha = 0;         // levels
    std::size_t beta = 0;          // bucket width
    std::size_t lambda = 0;        // uniform probes
    std::size_t w = 0;             // two-choice bucket width
    std::size_t special = 0;       // S
    std::size_t first_level = 0;   // a1
};

// λ for n slots: ⌈log2 ⌈log2 n⌉⌉, at least 1.
constexpr std::size_t funnel_lambda(std::size_t n) noexcept {
    std::size_t L = n < 2 ? 0 : static_cast<std::size_t>(std::bit_width(n - 1));
    return L > 1 ? static_cast<std::size_t>(std::bit_width(L - 1)) : 1;
}

// ⌈n / 2^(k+1)⌉: the lower bound δn/2 on the special array.
constexpr std::size_t funnel_half(std::size_t n, std::uint32_t k) noexcept {
    if (n == 0) return 0;
    if (k >= 127) return 1;
    unsigned __int128 d = static_cast<unsigned __int128>(1) << (k + 1);
    return static_cast<std::size_t>((static_cast<unsigned __int128>(n) + d - 1) / d);
}

// ⌊3n / 2^(k+2)⌋: the upper bound 3δn/4 on the special array.
constexpr std::size_t funnel_threeq(std::size_t n, std::uint32_t k) noexcept {
    if (k >= 126) return 0;
    return static_cast<std::size_t>((static_cast<unsigned __int128>(n) * 3) >> (k + 2));
}

// The plan for (n, k), or nothing when no Funnel layout has n slots. The
// failure reasons are not kept: nothing outside uses them.
constexpr std::optional<FunnelPlan> funnel_plan(std::size_t n, std::uint32_t k) noexcept {
    constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
    if (k <= 2 || k > 0x3FFFFFFDu) return std::nullopt;
    const std::size_t alpha = 4 * std::size_t{k} + 10;
    const std::size_t beta = 2 * std::size_t{k};
    const std::size_t half = funnel_half(n, k);
    const std::size_t threeq = funnel_threeq(n, k);
    const std::size_t lambda = funnel_lambda(n);
    const std::size_t w = 2 * lambda;

    if (alpha > kMax / beta) return std::nullopt;
    const std::size_t level_floor = alpha * beta;
    if (level_floor > n) return std::nullopt;

    const std::size_t smax = std::min(n - level_floor, threeq);
    const std::size_t smin = std::max(half, 4 * lambda);
    if (smin > smax) return std::nullopt;

    // Smallest multiple of β at or above n − Smax.
    const std::size_t low = n - smax;
    std::size_t p = low / beta * beta;
    if (p < low) {
        if (p > kMax - beta) return std::nullopt;
        p += beta;
    }
    if (p > (n - smin) / beta * beta) return std::nullopt;

    const std::size_t tries = 4 * lambda / std::gcd(beta, 4 * lambda);
    std::optional<std::size_t> special;
    for (std::size_t i = 0; i < tries; ++i) {
        if (p > n - smin) return std::nullopt;
        const std::size_t s = n - p;
        if (s / 2 >= w && (s / 2) % w == 0) {
            special = s;
            break;
        }
        if (p > kMax - beta) return std::nullopt;
        p += beta;
    }
    if (!special) return std::nullopt;

    const std::size_t bt = p / beta;
    if (bt < alpha - 1) return std::nullopt;
    const std::size_t amax0 = bt - (alpha - 1);
    if (!hi_sum_reaches(amax0, alpha, bt)) return std::nullopt;

    std::size_t amin = 1, amax = 1;
    if (amax0 < 2) {
        if (bt <= alpha - 1) return std::nullopt;
    } else {
        // Smallest a whose hi-sum reaches Bt (monotone: larger a reach sooner).
        std::size_t lo = 1, hi = amax0;
        while (lo < hi) {
            std::size_t mid = lo + (hi - lo) / 2;
            if (hi_sum_reaches(mid, alpha, bt)) {
                hi = mid;
            } else {
                lo = mid + 1;
            }
        }
        amin = lo;
        // Largest a whose lo-sum stays within Bt (monotone the other way).
        if (!lo_sum_within(1, alpha, bt)) return std::nullopt;
        lo = 1;
        hi = amax0;
        while (lo < hi) {
            std::size_t mid = lo + (hi - lo + 1) / 2;
            if (lo_sum_within(mid, alpha, bt)) {
                lo = mid;
            } else {
                hi = mid - 1;
            }
        }
        amax = lo;
        if (amin > amax) return std::nullopt;
    }

    const std::size_t target = bt / 4 + (bt % 4 == 3 ? 1 : 0);
    const std::size_t a1 = target < amin ? amin : std::min(target, amax);

    FunnelBucketCounts counts(a1, bt, alpha);
    for (std::size_t i = 0; i < alpha; ++i) {
        if (!counts.next()) return std::nullopt;
    }
    if (counts.next() || counts.remaining() != 0) return std::nullopt;

    return FunnelPlan{n, k, alpha, beta, lambda, w, *special, a1};
}

}  // namespace tavoric::funnel
