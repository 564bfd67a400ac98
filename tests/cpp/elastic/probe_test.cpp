// The phi injection, route capacities, prepared keys and probe slots.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>

#include "elastic/phi.hpp"
#include "elastic/probe.hpp"

namespace {

using namespace tavoric::elastic;

std::uint64_t phi(std::uint64_t i, std::uint64_t j) {
    auto r = elastic_phi(i, j);
    EXPECT_TRUE(r.has_value());
    return static_cast<std::uint64_t>(*r);
}

TEST(ElasticPhi, WorkedValuesAndErrors) {
    const std::uint64_t values[][3] = {{1, 1, 13},  {1, 2, 57},  {1, 3, 61},  {1, 4, 233}, {2, 1, 26},
                                       {3, 1, 27},  {2, 2, 114}, {3, 2, 115}, {2, 3, 122}, {4, 1, 52}};
    for (auto [i, j, code] : values) EXPECT_EQ(phi(i, j), code) << i << "," << j;
    EXPECT_EQ(elastic_phi(0, 0).error(), PhiError::zero(PhiCoordinate::I));
    EXPECT_EQ(elastic_phi(5, 0).error(), PhiError::zero(PhiCoordinate::J));
    // 2 * 63 + 1 + 1 = 128 bits still fits; one more bit of i does not.
    const u128 j63 = (u128{1} << 63) - 1;
    auto fits = elastic_phi(1, j63);
    ASSERT_TRUE(fits.has_value());
    EXPECT_EQ(static_cast<std::uint64_t>(*fits >> 127), 1u);
    EXPECT_EQ(elastic_phi(2, j63).error(), PhiError::overflow());
    EXPECT_FALSE(elastic_phi(1, u128{1} << 64).has_value());
    EXPECT_FALSE(elastic_phi64(1, std::uint64_t{1} << 31).has_value());  // 65-bit code
    EXPECT_EQ(elastic_phi64(2, 3), std::optional<std::uint64_t>{122});
}

TEST(ElasticPhi, InjectiveAndIncreasingInJ) {
    std::set<std::uint64_t> seen;
    for (std::uint64_t i = 1; i <= 40; ++i) {
        std::uint64_t prev = 0;
        for (std::uint64_t j = 1; j <= 600; ++j) {
            const std::uint64_t v = phi(i, j);
            ASSERT_GT(v, prev);
            prev = v;
            ASSERT_TRUE(seen.insert(v).second) << i << "," << j;
        }
    }
}

TEST(ElasticPhi, LargestUsableProbeAndRouteCapacity) {
    const std::uint64_t max_probe[][3] = {{1, 1, 383}, {2, 3, 255}, {4, 7, 191}, {8, 15, 127}, {16, 31, 95}};
    for (auto [from, to, j] : max_probe)
        for (std::uint64_t i = from; i <= to; ++i) EXPECT_EQ(elastic_max_probe(i), j) << i;
    EXPECT_LE(phi(1, 383), kPhiCap);
    EXPECT_GT(phi(1, 384), kPhiCap);
    const std::size_t capacity[][2] = {{0, 0}, {1, 382}, {2, 637}, {3, 892}, {4, 1083}, {10, 2037}, {16, 2767}, {31, 4192}};
    for (auto [levels, routes] : capacity) EXPECT_EQ(elastic_route_capacity(levels), routes) << levels;
}

TEST(ElasticPrepared, TableHashZero) {
    const auto p = elastic_prepare(0);
    EXPECT_EQ(p.fingerprint, 1u);
    EXPECT_EQ(p.prepared, 0x0BD2DB2E48789D20ULL);
    EXPECT_EQ(p.membership, (std::uint64_t{1} << 32) | (std::uint64_t{1} << 46));
    const std::size_t level0[] = {1, 3, 2, 2};
    for (std::uint32_t t = 0; t < 4; ++t)
        EXPECT_EQ(elastic_probe_slot(p.prepared, elastic_selector(0, t), 4), level0[t]) << t;
    const std::size_t level1[] = {0, 0, 0, 1};
    for (std::uint32_t t = 0; t < 4; ++t)
        EXPECT_EQ(elastic_probe_slot(p.prepared, elastic_selector(1, t), 2), level1[t]) << t;
}

TEST(ElasticPrepared, TableHashAllOnesAndFingerprints) {
    const auto p = elastic_prepare(~std::uint64_t{0});
    EXPECT_EQ(p.fingerprint, 127u);
    EXPECT_EQ(p.prepared, 0xA3EEE151577B38E9ULL);
    const std::pair<std::uint64_t, unsigned> fps[] = {{0, 1}, {1ULL << 57, 1}, {2ULL << 57, 2}, {0x7FULL << 57, 127}};
    for (auto [h, fp] : fps) EXPECT_EQ(elastic_fingerprint(h), fp) << h;
}

TEST(ElasticReduce, NonPowerWorkedExample) {
    EXPECT_EQ(elastic_selector(0, 5), 40u);
    auto r = reduce_prepared_elastic_non_power(0x1234567890ABCDEFULL, 40, 1'000'003, 8);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->slot, 568'473u);
    EXPECT_EQ(r->tries, 1u);
    EXPECT_EQ(elastic_probe_slot(0x1234567890ABCDEFULL, 40, 1'000'003), std::optional<std::size_t>{568'473});
}

TEST(ElasticReduce, EdgeLengths) {
    EXPECT_FALSE(reduce_prepared_elastic_non_power(1, 0, 0, 8).has_value());
    EXPECT_FALSE(elastic_probe_slot(1, 0, 0).has_value());
    EXPECT_EQ(elastic_probe_slot(0xFFFF, 123, 1), std::optional<std::size_t>{0});
    // Zero tries never produce a slot.
    EXPECT_FALSE(reduce_prepared_elastic_non_power(1, 0, 3, 0).has_value());
    // A length just above 2^63 rejects almost half of all mixes; over many
    // hashes some probe must need a retry, and a retry uses the next selector.
    const std::size_t n = (std::size_t{1} << 63) + 1;
    bool retried = false;
    for (std::uint64_t H = 0; H < 64 && !retried; ++H) {
        auto r = reduce_prepared_elastic_non_power(H, 8, n, 8);
        if (r && r->tries > 1) {
            retried = true;
            auto direct = reduce_prepared_elastic_non_power(H, 8 + static_cast<std::uint32_t>(r->tries - 1), n, 1);
            ASSERT_TRUE(direct.has_value());
            EXPECT_EQ(direct->slot, r->slot);
        }
    }
    EXPECT_TRUE(retried);
    // Slots always lie inside the level, for every shape of level.
    for (std::size_t len : {2u, 3u, 5u, 7u, 64u, 1000u, 1024u}) {
        for (std::uint64_t H = 0; H < 200; ++H) {
            auto s = elastic_probe_slot(H * 0x9E3779B97F4A7C15ULL, elastic_selector(3, static_cast<std::uint32_t>(H % 4096)), len);
            if (s) {
                ASSERT_LT(*s, len);
            }
        }
    }
}

}  // namespace
