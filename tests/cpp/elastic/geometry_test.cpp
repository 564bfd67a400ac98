// Elastic shapes (slot counts, level lengths, batch quotas), the phi
// injection, route capacities, prepared keys and probe slots.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include "elastic/geometry.hpp"
#include "elastic/phi.hpp"
#include "elastic/probe.hpp"
#include "elastic/table.hpp"

namespace {

using namespace tavoric::elastic;
using V = std::vector<std::size_t>;

V words(const LevelWords& w) { return {w.begin(), w.end()}; }

std::uint64_t phi(std::uint64_t i, std::uint64_t j) {
    auto r = elastic_phi(i, j);
    EXPECT_TRUE(r.has_value());
    return static_cast<std::uint64_t>(*r);
}

TEST(ElasticGeometry, SlotCountsForBudgets) {
    const std::size_t top = std::size_t{1} << 31;
    const std::size_t cases[][4] = {  // budget, k, slots, insert limit
        {1, 3, 8, 7},     {7, 3, 8, 7},          {8, 3, 16, 14},       {14, 3, 16, 14},          {15, 3, 32, 28},
        {28, 3, 32, 28},  {29, 3, 64, 56},       {100, 3, 128, 112},   {1000, 3, 2048, 1792},    {4, 1, 8, 4},
        {5, 1, 16, 8},    {9, 1, 32, 16},        {8, 6, 8, 8},         {9, 6, 16, 16},           {1008, 6, 1024, 1008},
        {1009, 6, 2048, 2016}, {1, 32, 8, 8},    {8, 32, 8, 8},        {9, 32, 16, 16},          {1000, 40, 1024, 1024},
        {top, 32, top, top},   {top - (top >> 3), 3, top, top - (top >> 3)}};
    for (auto [budget, k, slots, limit] : cases) {
        auto g = ElasticGeometry::for_insert_budget(budget, std::uint32_t(k));
        ASSERT_TRUE(g.has_value()) << budget << " k " << k;
        EXPECT_EQ(g->slots, slots) << budget << " k " << k;
        EXPECT_EQ(g->insert_limit, limit) << budget << " k " << k;
    }
    EXPECT_FALSE(ElasticGeometry::for_insert_budget(tavoric::common::arena::insert_budget_for(top, 3) + 1, 3).has_value());
    EXPECT_FALSE(ElasticGeometry::for_insert_budget(top + 1, 32).has_value());
    EXPECT_FALSE(ElasticGeometry::for_insert_budget(SIZE_MAX, 1).has_value());
    // Without a reserve fraction nothing is usable: real shapes are refused, zero slots stay valid.
    EXPECT_FALSE(ElasticGeometry::for_insert_budget(1, 0).has_value());
    EXPECT_EQ(ElasticGeometry::for_slots(8, 0).error(), ConfigError::exponent_zero());
    EXPECT_TRUE(ElasticGeometry::for_slots(0, 0).has_value());
    auto empty = ElasticGeometry::for_insert_budget(0, 3);
    EXPECT_EQ(empty->slots + empty->insert_limit + empty->level_lengths.size() + empty->batch_quotas.size(), 0u);
}

TEST(ElasticGeometry, LevelLengthsAndBatchQuotas) {
    struct Row {
        std::size_t slots;
        std::uint32_t k;
        V levels, quotas;
        std::size_t limit;
    };
    const Row rows[] = {
        {1, 3, {1}, {1}, 1},
        {8, 1, {4, 2, 2}, {3, 1, 0}, 4},
        {8, 3, {4, 2, 2}, {3, 3, 1}, 7},
        {8, 6, {4, 2, 2}, {3, 3, 2}, 8},
        {16, 3, {8, 4, 2, 2}, {6, 5, 3, 0}, 14},
        {32, 3, {16, 8, 4, 2, 2}, {12, 9, 5, 2, 0}, 28},
        {64, 3, {32, 16, 8, 4, 2, 2}, {24, 18, 9, 5, 0, 0}, 56},
        {128, 3, {64, 32, 16, 8, 4, 2, 2}, {48, 36, 18, 9, 1, 0, 0}, 112},
        {1024, 3, {512, 256, 128, 64, 32, 16, 8, 4, 2, 2}, {384, 288, 144, 72, 8, 0, 0, 0, 0, 0}, 896},
        {1024, 6, {512, 256, 128, 64, 32, 16, 8, 4, 2, 2}, {384, 316, 158, 79, 40, 20, 10, 1, 0, 0}, 1008},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << "S " << r.slots << " k " << r.k);
        auto g = ElasticGeometry::for_slots(r.slots, r.k);
        ASSERT_TRUE(g.has_value());
        EXPECT_EQ(words(g->level_lengths), r.levels);
        EXPECT_EQ(words(g->batch_quotas), r.quotas);
        EXPECT_EQ(g->insert_limit, r.limit);
    }
    auto lengths = [](std::size_t slots, std::size_t levels) {
        V out;
        LevelLengths it(slots, levels);
        while (auto n = it.next()) out.push_back(*n);
        return out;
    };
    EXPECT_EQ(lengths(10, 4), (V{5, 3, 1, 1}));
    EXPECT_EQ(lengths(12, 4), (V{6, 3, 2, 1}));
    EXPECT_EQ(words(ElasticGeometry::for_slots(10, 3)->level_lengths), (V{5, 3, 1, 1}));
    EXPECT_EQ(lengths(5, 1), (V{5}));
    auto largest = ElasticGeometry::for_slots(std::size_t{1} << 31, 3);  // 31 levels, 2^30 down to 4, 2, 2
    ASSERT_EQ(largest->level_lengths.size(), 31u);
    EXPECT_EQ(largest->level_lengths[0], std::size_t{1} << 30);
    EXPECT_EQ((V{largest->level_lengths[28], largest->level_lengths[29], largest->level_lengths[30]}), (V{4, 2, 2}));
}

// Every slot count a table can use, every exponent up to 40: quotas add up to
// the insert limit, levels to the slot count, and no quota asks more of its
// levels than they have room for.
TEST(ElasticGeometry, QuotasSumToTheInsertLimitForEveryTableShape) {
    V slot_counts{0};
    for (std::size_t s = 8; s <= (std::size_t{1} << 31); s *= 2) slot_counts.push_back(s);
    for (std::uint32_t k = 1; k <= 40; ++k) {
        for (std::size_t s : slot_counts) {
            auto g = ElasticGeometry::for_slots(s, k);
            ASSERT_TRUE(g.has_value());
            std::size_t level_sum = 0, quota_sum = 0;
            for (std::size_t n : g->level_lengths) level_sum += n;
            for (std::size_t q : g->batch_quotas) quota_sum += q;
            ASSERT_EQ(level_sum, s) << "k " << k;
            ASSERT_EQ(g->batch_quotas.size(), g->level_lengths.size());
            ASSERT_EQ(quota_sum, g->insert_limit) << "S " << s << " k " << k;
            ASSERT_EQ(g->insert_limit, k >= 32 ? s : s - (s >> k));
            for (std::size_t i = 0; i < g->level_lengths.size(); ++i)
                ASSERT_LE(g->batch_quotas[i], g->level_lengths[i] + (i == 0 ? 0 : g->level_lengths[i - 1] / 4));
        }
    }
}

TEST(ElasticPhi, WorkedValuesErrorsAndCapacities) {
    const std::uint64_t values[][3] = {{1, 1, 13},  {1, 2, 57},  {1, 3, 61},  {1, 4, 233}, {2, 1, 26},
                                       {3, 1, 27},  {2, 2, 114}, {3, 2, 115}, {2, 3, 122}, {4, 1, 52}};
    for (auto [i, j, code] : values) EXPECT_EQ(phi(i, j), code) << i << "," << j;
    EXPECT_EQ(elastic_phi(0, 0).error(), PhiError::zero(PhiCoordinate::I));
    EXPECT_EQ(elastic_phi(5, 0).error(), PhiError::zero(PhiCoordinate::J));
    // 2 * 63 + 1 + 1 = 128 bits still fits; one more bit of i does not.
    const u128 j63 = (u128{1} << 63) - 1;
    EXPECT_EQ(static_cast<std::uint64_t>(*elastic_phi(1, j63) >> 127), 1u);
    EXPECT_EQ(elastic_phi(2, j63).error(), PhiError::overflow());
    EXPECT_FALSE(elastic_phi(1, u128{1} << 64).has_value());
    EXPECT_FALSE(elastic_phi64(1, std::uint64_t{1} << 31).has_value());  // 65-bit code
    EXPECT_EQ(elastic_phi64(2, 3), std::optional<std::uint64_t>{122});
    const std::uint64_t max_probe[][3] = {{1, 1, 383}, {2, 3, 255}, {4, 7, 191}, {8, 15, 127}, {16, 31, 95}};
    for (auto [from, to, j] : max_probe)
        for (std::uint64_t i = from; i <= to; ++i) EXPECT_EQ(elastic_max_probe(i), j) << i;
    EXPECT_LE(phi(1, 383), kPhiCap);
    EXPECT_GT(phi(1, 384), kPhiCap);
    const std::size_t capacity[][2] = {{0, 0}, {1, 382}, {2, 637}, {3, 892}, {4, 1083}, {10, 2037}, {16, 2767}, {31, 4192}};
    for (auto [levels, routes] : capacity) EXPECT_EQ(elastic_route_capacity(levels), routes) << levels;
    for (std::size_t levels = 0; levels <= 32; ++levels)
        EXPECT_EQ(elastic_route_capacity(levels), elastic_route_capacity_counted(levels));
}

TEST(ElasticPhi, InjectiveIncreasingInJAndTheLoopFreeFormAgrees) {
    std::set<std::uint64_t> seen;
    for (std::uint64_t i = 1; i <= 40; ++i) {
        std::uint64_t prev = 0;
        for (std::uint64_t j = 1; j <= 600; ++j) {
            const std::uint64_t v = phi(i, j);
            ASSERT_GT(v, prev);
            ASSERT_TRUE(seen.insert(v).second) << i << "," << j;
            prev = v;
        }
    }
    static_assert(kMaxProbeNumber < (1u << 16));  // placement reports probe numbers below 2^16
    for (std::uint64_t i = 1; i <= 33; ++i)
        for (std::uint64_t j = 1; j < (std::uint64_t{1} << 16); ++j)
            ASSERT_EQ(elastic_phi_small(i, j), static_cast<std::uint64_t>(*elastic_phi(i, j))) << i << "," << j;
}

TEST(ElasticPrepared, WorkedKeysAndFingerprints) {
    const auto p = elastic_prepare(0);
    EXPECT_EQ(p.fingerprint, 1u);
    EXPECT_EQ(p.prepared, 0x0BD2DB2E48789D20ULL);
    EXPECT_EQ(p.membership, (std::uint64_t{1} << 32) | (std::uint64_t{1} << 46));
    const std::size_t slots[2][4] = {{1, 3, 2, 2}, {0, 0, 0, 1}};  // levels of 4 and 2 slots
    for (std::uint32_t t = 0; t < 4; ++t) {
        EXPECT_EQ(elastic_probe_slot(p.prepared, elastic_selector(0, t), 4), slots[0][t]) << t;
        EXPECT_EQ(elastic_probe_slot(p.prepared, elastic_selector(1, t), 2), slots[1][t]) << t;
    }
    const auto ones = elastic_prepare(~std::uint64_t{0});
    EXPECT_EQ(ones.fingerprint, 127u);
    EXPECT_EQ(ones.prepared, 0xA3EEE151577B38E9ULL);
    const std::pair<std::uint64_t, unsigned> fps[] = {{0, 1}, {1ULL << 57, 1}, {2ULL << 57, 2}, {0x7FULL << 57, 127}};
    for (auto [h, fp] : fps) EXPECT_EQ(elastic_prepare(h).fingerprint, fp) << h;
}

TEST(ElasticReduce, ProbeSlotIsTheTopBitsOfTheMix) {
    EXPECT_EQ(elastic_selector(0, 5), 40u);
    EXPECT_EQ(elastic_probe_slot(0xFFFF, 123, 1), 0u);  // no shift by 64 for a level of one slot
    std::mt19937_64 rng(11);
    for (int i = 0; i < 20000; ++i) {
        const std::uint64_t H = rng();
        const auto selector = static_cast<std::uint32_t>(rng());
        const unsigned bits = static_cast<unsigned>(i % 32);
        const std::uint64_t top = bits == 0 ? 0 : elastic_probe_mix(H, selector) >> (64 - bits);
        ASSERT_EQ(elastic_probe_slot(H, selector, std::size_t{1} << bits), top) << bits;
    }
}

}  // namespace
