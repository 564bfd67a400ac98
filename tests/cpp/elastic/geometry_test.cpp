// Elastic table shapes: slot counts, level lengths, batch quotas.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "elastic/geometry.hpp"

namespace {

using tavoric::elastic::ElasticGeometry;
using tavoric::elastic::elastic_usable;
using tavoric::elastic::LevelLengths;
using tavoric::elastic::LevelWords;

std::vector<std::size_t> words(const LevelWords& w) { return {w.begin(), w.end()}; }

std::vector<std::size_t> lengths(std::size_t slots, std::size_t levels) {
    std::vector<std::size_t> out;
    LevelLengths it(slots, levels);
    while (auto n = it.next()) out.push_back(*n);
    return out;
}

using V = std::vector<std::size_t>;

TEST(ElasticGeometry, SlotCountsForBudgets) {
    struct Case {
        std::size_t budget;
        std::uint32_t k;
        std::size_t slots;
        std::size_t limit;
    };
    const Case cases[] = {
        {1, 3, 8, 7},       {7, 3, 8, 7},        {8, 3, 16, 14},       {14, 3, 16, 14},
        {15, 3, 32, 28},    {28, 3, 32, 28},     {29, 3, 64, 56},      {100, 3, 128, 112},
        {1000, 3, 2048, 1792}, {4, 1, 8, 4},     {5, 1, 16, 8},        {9, 1, 32, 16},
        {8, 6, 8, 8},       {9, 6, 16, 16},      {1008, 6, 1024, 1008}, {1009, 6, 2048, 2016},
        {1, 32, 8, 8},      {8, 32, 8, 8},       {9, 32, 16, 16},      {1000, 40, 1024, 1024},
        {std::size_t{1} << 31, 32, std::size_t{1} << 31, std::size_t{1} << 31},
        {(std::size_t{1} << 31) - (std::size_t{1} << 28), 3, std::size_t{1} << 31,
         (std::size_t{1} << 31) - (std::size_t{1} << 28)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "budget " << c.budget << " k " << c.k);
        auto g = ElasticGeometry::for_insert_budget(c.budget, c.k);
        ASSERT_TRUE(g.has_value());
        EXPECT_EQ(g->slots, c.slots);
        EXPECT_EQ(g->insert_limit, c.limit);
    }
    for (std::size_t b = 1; b <= 7; ++b) EXPECT_EQ(ElasticGeometry::for_insert_budget(b, 3)->slots, 8u);
}

TEST(ElasticGeometry, EdgeShapesAndLevelLengths) {
    const std::size_t top = std::size_t{1} << 31;
    EXPECT_FALSE(ElasticGeometry::for_insert_budget(elastic_usable(top, 3) + 1, 3).has_value());
    EXPECT_FALSE(ElasticGeometry::for_insert_budget(top + 1, 32).has_value());
    EXPECT_FALSE(ElasticGeometry::for_insert_budget(SIZE_MAX, 1).has_value());
    // No reserve fraction at all: nothing is usable, and a real shape is
    // refused, but zero slots stay valid.
    EXPECT_FALSE(ElasticGeometry::for_insert_budget(1, 0).has_value());
    EXPECT_EQ(ElasticGeometry::for_slots(8, 0).error(), tavoric::elastic::ConfigError::exponent_zero());
    EXPECT_TRUE(ElasticGeometry::for_slots(0, 0).has_value());
    auto empty = ElasticGeometry::for_insert_budget(0, 3);
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(empty->slots + empty->insert_limit + empty->level_lengths.size() + empty->batch_quotas.size(), 0u);
    auto one = ElasticGeometry::for_slots(1, 3);
    EXPECT_EQ(words(one->level_lengths), V{1});
    EXPECT_EQ(words(one->batch_quotas), V{1});
    EXPECT_EQ(one->insert_limit, 1u);
    // Lengths halve, rounding up, down to the last two levels.
    EXPECT_EQ(lengths(10, 4), (V{5, 3, 1, 1}));
    EXPECT_EQ(lengths(12, 4), (V{6, 3, 2, 1}));
    EXPECT_EQ(lengths(5, 1), (V{5}));
    EXPECT_EQ(words(ElasticGeometry::for_slots(10, 3)->level_lengths), (V{5, 3, 1, 1}));
    auto largest = ElasticGeometry::for_slots(top, 3);  // 31 levels, 2^30 down to 4, 2, 2
    ASSERT_EQ(largest->level_lengths.size(), 31u);
    EXPECT_EQ(largest->level_lengths[0], std::size_t{1} << 30);
    EXPECT_EQ((V{largest->level_lengths[28], largest->level_lengths[29], largest->level_lengths[30]}), (V{4, 2, 2}));
}

TEST(ElasticGeometry, BatchQuotaTable) {
    struct Row {
        std::size_t slots;
        std::uint32_t k;
        V levels;
        V quotas;
        std::size_t limit;
    };
    const Row rows[] = {
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
        EXPECT_EQ(g->slots, r.slots);
    }
}

// Every slot count a table can use, every exponent up to 40: the quotas add
// up to the insert limit, the levels to the slot count, and no quota asks
// more of its levels than they have room for.
TEST(ElasticGeometry, QuotasSumToTheInsertLimitForEveryTableShape) {
    std::vector<std::size_t> slot_counts{0};
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
            for (std::size_t i = 0; i < g->level_lengths.size(); ++i) {
                const std::size_t own = g->level_lengths[i];
                const std::size_t prev = i == 0 ? 0 : g->level_lengths[i - 1];
                ASSERT_LE(g->batch_quotas[i], own + prev / 4);
            }
        }
    }
}

}  // namespace
