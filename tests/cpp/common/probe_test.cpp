#include <gtest/gtest.h>

#include <cstdint>

#include "common/exact/probe/bounded_reduction.hpp"
#include "common/exact/probe/splitmix.hpp"

namespace {

using namespace tavoric::common::exact::probe;

TEST(SplitMix, KnownValues) {
    // Reference values of the published finalizer (the first outputs of the
    // SplitMix64 generator seeded with 0 are F(k * 0x9E3779B97F4A7C15)).
    EXPECT_EQ(splitmix64_finalize(0), 0u);
    EXPECT_EQ(splitmix64_finalize(0x9E3779B97F4A7C15ULL), 0xE220A8397B1DCDAFULL);
    EXPECT_EQ(splitmix64_finalize(0x3C6EF372FE94F82AULL), 0x6E789E6AA1B965F4ULL);
}

TEST(BoundedReduction, ThresholdIsTwoToTheSixtyFourModM) {
    EXPECT_EQ(reduction_threshold(1), 0u);
    EXPECT_EQ(reduction_threshold(2), 0u);
    EXPECT_EQ(reduction_threshold(3), 1u);   // 2^64 = 3 * 6148914691236517205 + 1
    EXPECT_EQ(reduction_threshold(6), 4u);   // 2^64 mod 6
    EXPECT_EQ(reduction_threshold(10), 6u);  // 2^64 = ...616
    EXPECT_EQ(reduction_threshold(1ULL << 40), 0u);
    EXPECT_EQ(reduction_threshold(0xFFFFFFFFFFFFFFFFULL), 1u);
}

TEST(BoundedReduction, PositionIsHighHalfAndRejectionRetriesWithTheLowBits) {
    // Every accepted position lies in range.
    for (std::uint64_t m : {1ULL, 3ULL, 44ULL, 1000ULL, 0x8000000000000001ULL}) {
        for (std::uint64_t h = 0; h < 200; ++h) {
            auto p = reduce_prepared_funnel_retries(h * 0x9E3779B97F4A7C15ULL, h, 0x4000000000000000ULL, m,
                                                    reduction_threshold(m));
            if (p) {
                EXPECT_LT(*p, m);
            }
        }
    }
    // With m = 2^63 + 1 almost half of all words are rejected; a position
    // still comes from the first accepted retry, computed here by hand.
    const std::uint64_t m = 0x8000000000000001ULL, theta = reduction_threshold(m), mix = 77, base = 5, sel = 1ULL << 16;
    std::uint64_t expected = 0;
    bool found = false;
    for (std::uint64_t r = 0; r < 8 && !found; ++r) {
        auto p = wide_multiply(mix ^ splitmix64_finalize(base ^ (sel | r)), m);
        if (p.low >= theta) {
            expected = p.high;
            found = true;
        }
    }
    auto got = reduce_prepared_funnel_retries(mix, base, sel, m, theta);
    ASSERT_EQ(got.has_value(), found);
    if (found) {
        EXPECT_EQ(*got, expected);
    }
}

}  // namespace
