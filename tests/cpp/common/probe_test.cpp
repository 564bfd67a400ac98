#include <gtest/gtest.h>

#include <cstdint>

#include "common/hash/bounded_reduction.hpp"
#include "common/hash/splitmix.hpp"

namespace {

using namespace tavoric::common::hash;

TEST(SplitMix, KnownValues) {
    // The first outputs of the SplitMix64 generator seeded with 0 are
    // F(k * 0x9E3779B97F4A7C15).
    EXPECT_EQ(splitmix64_finalize(0), 0u);
    EXPECT_EQ(splitmix64_finalize(0x9E3779B97F4A7C15ULL), 0xE220A8397B1DCDAFULL);
    EXPECT_EQ(splitmix64_finalize(0x3C6EF372FE94F82AULL), 0x6E789E6AA1B965F4ULL);
}

TEST(BoundedReduction, ThresholdIsTwoToTheSixtyFourModM) {
    const std::uint64_t cases[][2] = {{1, 0}, {2, 0}, {3, 1}, {6, 4}, {10, 6}, {1ULL << 40, 0}, {~0ULL, 1}};
    for (auto [m, t] : cases) EXPECT_EQ(reduction_threshold(m), t) << m;
}

TEST(BoundedReduction, PositionsInRangeAndRejectionRetries) {
    for (std::uint64_t m : {1ULL, 3ULL, 44ULL, 1000ULL, 0x8000000000000001ULL}) {
        for (std::uint64_t h = 0; h < 200; ++h) {
            auto p = reduce_prepared_funnel_retries(h * 0x9E3779B97F4A7C15ULL, h, 0x4000000000000000ULL, m,
                                                    reduction_threshold(m));
            if (p) {
                EXPECT_LT(*p, m);
            }
        }
    }
    // With m = 2^63 + 1 almost half of all words are rejected: about half
    // the keys need a retry and about 1 in 256 is rejected eight times,
    // which gives no position at all.
    const std::uint64_t m = 0x8000000000000001ULL;
    int retried = 0, exhausted = 0;
    for (std::uint64_t h = 0; h < 4000; ++h) {
        const std::uint64_t mix = splitmix64_finalize(h), base = h * 3;
        if (wide_multiply(mix ^ splitmix64_finalize(base ^ (1ULL << 16)), m).low < reduction_threshold(m)) ++retried;
        auto p = reduce_prepared_funnel_retries(mix, base, 1ULL << 16, m, reduction_threshold(m));
        if (!p) ++exhausted;
        else {
            EXPECT_LT(*p, m);
        }
    }
    EXPECT_GT(retried, 1700);
    EXPECT_LT(retried, 2300);
    EXPECT_GT(exhausted, 2);
    EXPECT_LT(exhausted, 50);
}

}  // namespace
