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

TEST(ElasticPhi, WorkedValues) {
    EXPECT_EQ(phi(1, 1), 13u);
    EXPECT_EQ(phi(1, 2), 57u);
    EXPECT_EQ(phi(1, 3), 61u);
    EXPECT_EQ(phi(1, 4), 233u);
    EXPECT_EQ(phi(2, 1), 26u);
    EXPECT_EQ(phi(3, 1), 27u);
    EXPECT_EQ(phi(2, 2), 114u);
    EXPECT_EQ(phi(3, 2), 115u);
    EXPECT_EQ(phi(2, 3), 122u);
    EXPECT_EQ(phi(4, 1), 52u);
}

TEST(ElasticPhi, ErrorsAndTheirRendering) {
    auto zi = elastic_phi(0, 0);
    ASSERT_FALSE(zi.has_value());
    EXPECT_EQ(zi.error(), PhiError::zero(PhiCoordinate::I));
    EXPECT_EQ(zi.error().debug(), "ZeroCoordinate { coordinate: I }");
    auto zj = elastic_phi(5, 0);
    ASSERT_FALSE(zj.has_value());
    EXPECT_EQ(zj.error(), PhiError::zero(PhiCoordinate::J));
    EXPECT_STREQ(debug_name(zj.error().coordinate), "J");

    // 2 * 63 + 1 + 1 = 128 bits still fits; one more bit of i does not.
    const u128 j63 = (u128{1} << 63) - 1;
    auto fits = elastic_phi(1, j63);
    ASSERT_TRUE(fits.has_value());
    EXPECT_EQ(static_cast<std::uint64_t>(*fits >> 127), 1u);
    auto over = elastic_phi(2, j63);
    ASSERT_FALSE(over.has_value());
    EXPECT_EQ(over.error(), PhiError::overflow());
    EXPECT_EQ(over.error().debug(), "Overflow");
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

TEST(ElasticPhi, LargestUsableProbeUnderTheCap) {
    EXPECT_EQ(elastic_max_probe(1), 383u);
    for (std::uint64_t i : {2, 3}) EXPECT_EQ(elastic_max_probe(i), 255u) << i;
    for (std::uint64_t i = 4; i <= 7; ++i) EXPECT_EQ(elastic_max_probe(i), 191u) << i;
    for (std::uint64_t i = 8; i <= 15; ++i) EXPECT_EQ(elastic_max_probe(i), 127u) << i;
    for (std::uint64_t i = 16; i <= 31; ++i) EXPECT_EQ(elastic_max_probe(i), 95u) << i;
    EXPECT_LE(phi(1, 383), kPhiCap);
    EXPECT_GT(phi(1, 384), kPhiCap);
}

TEST(ElasticPhi, RouteCapacity) {
    EXPECT_EQ(elastic_route_capacity(0), 0u);
    EXPECT_EQ(elastic_route_capacity(1), 382u);
    EXPECT_EQ(elastic_route_capacity(2), 637u);
    EXPECT_EQ(elastic_route_capacity(3), 892u);
    EXPECT_EQ(elastic_route_capacity(4), 1083u);
    EXPECT_EQ(elastic_route_capacity(10), 2037u);
    EXPECT_EQ(elastic_route_capacity(16), 2767u);
    EXPECT_EQ(elastic_route_capacity(31), 4192u);
}

TEST(ElasticPrepared, TableHashZero) {
    const auto p = elastic_prepare(0);
    EXPECT_EQ(p.fingerprint, 1u);
    EXPECT_EQ(p.prepared, 0x0BD2DB2E48789D20ULL);
    EXPECT_EQ(p.membership, 0x0000400100000000ULL);
    EXPECT_EQ(p.membership, (std::uint64_t{1} << 32) | (std::uint64_t{1} << 46));
    const std::size_t level0[] = {1, 3, 2, 2};
    for (std::uint32_t t = 0; t < 4; ++t)
        EXPECT_EQ(elastic_probe_slot(p.prepared, elastic_selector(0, t), 4), level0[t]) << t;
    const std::size_t level1[] = {0, 0, 0, 1};
    for (std::uint32_t t = 0; t < 4; ++t)
        EXPECT_EQ(elastic_probe_slot(p.prepared, elastic_selector(1, t), 2), level1[t]) << t;
}

TEST(ElasticPrepared, TableHashAllOnes) {
    const auto p = elastic_prepare(~std::uint64_t{0});
    EXPECT_EQ(p.fingerprint, 127u);
    EXPECT_EQ(p.prepared, 0xA3EEE151577B38E9ULL);
    EXPECT_EQ(std::popcount(p.membership), (p.prepared & 63) == ((p.prepared >> 32) & 63) ? 1 : 2);
    EXPECT_NE(p.membership & (std::uint64_t{1} << (p.prepared & 63)), 0u);
    EXPECT_NE(p.membership & (std::uint64_t{1} << ((p.prepared >> 32) & 63)), 0u);
}

TEST(ElasticPrepared, FingerprintNeverCollidesWithEmptyOrTombstone) {
    EXPECT_EQ(elastic_fingerprint(0), 1u);
    EXPECT_EQ(elastic_fingerprint(std::uint64_t{1} << 57), 1u);
    EXPECT_EQ(elastic_fingerprint(std::uint64_t{2} << 57), 2u);
    EXPECT_EQ(elastic_fingerprint(std::uint64_t{0x7F} << 57), 127u);
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

TEST(ElasticReduce, SelectorLayout) {
    EXPECT_EQ(elastic_selector(1, 0), 65536u);
    EXPECT_EQ(elastic_selector(30, 4095), 30u * 65536u + 8u * 4095u);
    EXPECT_EQ(elastic_selector_level(elastic_selector(30, 4095)), 30u);
    EXPECT_EQ(elastic_selector_level(elastic_selector(2, 1)), 2u);
}

}  // namespace
