#include <gtest/gtest.h>

#include <vector>

#include "funnel/layout.hpp"
#include "funnel_support.hpp"

namespace {

using namespace tavoric::funnel;
using namespace tavoric::testing;
using tavoric::common::arena::AllocationFaults;
using tavoric::common::arena::insert_budget_for;
using V = std::vector<std::size_t>;
using MapTable = FunnelTable<IntKey, void*>;

TEST(FunnelGeometry, AdmissibleSlotCountsForKThreeUpTo420) {
    V got;
    for (std::size_t n = 2; n <= 420; ++n)
        if (funnel_admissible(n, 3)) got.push_back(n);
    EXPECT_EQ(got, (V{144, 145, 150, 151, 156, 157, 162, 163, 168, 169, 174, 175, 180, 181, 186, 187,
                      192, 193, 199, 205, 257, 263, 269, 344, 350, 356, 357, 362, 363, 368, 369, 374,
                      375, 380, 381, 386, 387, 392, 393, 398, 399, 404, 405, 410, 411, 416, 417}));
}

TEST(FunnelGeometry, ShapesOf144And145And1142Slots) {
    constexpr std::size_t kAny = SIZE_MAX;  // not pinned
    struct Case {
        std::size_t slots, uniform_start, uniform_size, uniform_probes, two_start, two_buckets, two_width, budget;
        V level_buckets;  // then 1 per level up to 22 levels
        V first_starts;
    };
    const Case cases[] = {
        {144, 132, 6, 3, 138, 1, 6, 126, {}, {0, 6, 12, 18}},
        {145, 132, 7, kAny, 139, 1, kAny, 127, {}, {0, 6, 12, 18}},
        {1142, 1062, 40, 4, 1102, 5, 8, 1000, {44, 34, 26, 20, 14, 10, 7, 5, 3, 2}, {0, 264, 468, 624}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.slots);
        auto s = FunnelShape::from_slots(c.slots, 3);
        ASSERT_TRUE(s.has_value());
        V buckets = c.level_buckets, starts;
        buckets.resize(22, 1);
        V got;
        for (std::size_t i = 0; i < s->level_count; ++i) {
            got.push_back(s->levels[i].bucket_count);
            if (i < 4) starts.push_back(s->levels[i].start);
            EXPECT_EQ(s->levels[i].threshold, tavoric::common::hash::reduction_threshold(s->levels[i].bucket_count));
        }
        EXPECT_EQ(got, buckets);
        EXPECT_EQ(starts, c.first_starts);
        EXPECT_EQ(s->uniform_start, c.uniform_start);
        EXPECT_EQ(s->uniform_size, c.uniform_size);
        if (c.uniform_probes != kAny) {
            EXPECT_EQ(s->uniform_probes, c.uniform_probes);
        }
        EXPECT_EQ(s->two_choice_start, c.two_start);
        EXPECT_EQ(s->two_choice_buckets, c.two_buckets);
        if (c.two_width != kAny) {
            EXPECT_EQ(s->two_choice_width, c.two_width);
        }
        EXPECT_EQ(s->insert_budget, c.budget);
    }
    auto plan = funnel_plan(1142, 3);
    ASSERT_TRUE(plan.has_value());
    EXPECT_EQ((V{plan->alpha, plan->beta, plan->lambda, plan->w, plan->special, plan->first_level}),
              (V{22, 6, 4, 8, 80, 44}));
    EXPECT_FALSE(funnel_plan(146, 3).has_value());
    EXPECT_FALSE(funnel_plan(1142, 2).has_value());
    EXPECT_FALSE(FunnelShape::from_slots(146, 3).has_value());
    EXPECT_FALSE(FunnelShape::from_slots(1, 3).has_value());
    EXPECT_EQ(FunnelShape::from_slots(0, 3)->level_count, 0u);
}

TEST(FunnelSizing, SmallestTablesBudgetsAndGrowthSequence) {
    struct Case {
        std::uint32_t k;
        std::size_t target, slots, budget;
    };
    for (Case c : {Case{3, 1, 144, 126}, Case{3, 126, 144, 126}, Case{3, 127, 145, 127}, Case{3, 1000, 1142, 1000},
                   Case{4, 1, 344, 323}, Case{5, 1, 686, 665}, Case{6, 1, 1372, 1351}, Case{8, 1, 5472, 5451},
                   Case{12, 1, 109244, 0}, Case{27, 1, 3579139460u, 0}}) {
        auto n = smallest_admissible_slots(c.target, c.k);
        ASSERT_TRUE(n.has_value()) << c.k;
        EXPECT_EQ(*n, c.slots) << c.k;
        EXPECT_LT(size_search_attempts(), 100u) << c.k;
        if (c.budget != 0) {
            EXPECT_EQ(insert_budget_for(*n, c.k), c.budget);
        }
        if (c.k <= 4) {
            auto t = MapTable::try_with_insert_budget(c.target, c.k, kTestSeeds);
            ASSERT_TRUE(t.has_value());
            EXPECT_EQ(t->inspect().slot_count(), c.slots);
            EXPECT_EQ(t->capacity(), c.budget);
        }
    }
    // A short search for every exponent. From k = 12 the first table lies
    // about 26.67 * 2^k slots out; above 27 none fits.
    for (std::uint32_t k = 3; k <= 31; ++k) {
        auto n = smallest_admissible_slots(1, k);
        EXPECT_LT(size_search_attempts(), 100u) << k;
        EXPECT_EQ(n.has_value(), k <= 27) << k;
        if (n && k >= 12) {
            EXPECT_NEAR(double(*n) / double(std::size_t{1} << k), 26.67, 0.1) << k;
        }
    }
    V slots, budgets;
    std::size_t budget = 0;
    for (int step = 0; step < 8; ++step) {
        auto next = next_growth_slots(budget, 3, budget + 1);
        ASSERT_TRUE(next.has_value());
        slots.push_back(*next);
        budgets.push_back(budget = insert_budget_for(*next, 3));
    }
    EXPECT_EQ(slots, (V{144, 344, 688, 1375, 2751, 5503, 11007, 22015}));
    EXPECT_EQ(budgets, (V{126, 301, 602, 1204, 2408, 4816, 9632, 19264}));
    EXPECT_FALSE(next_growth_slots(0, 3, 0x7FFFFFFF).has_value());
    EXPECT_FALSE(next_growth_slots(0, 32, 1).has_value());
    EXPECT_FALSE(next_growth_slots(0, 2, 1).has_value());
    EXPECT_EQ(next_growth_slots(0, 3, 0), std::optional<std::size_t>(0));
}

// The search without the jump, one count after another.
std::optional<std::size_t> slow_search(std::size_t target, std::uint32_t k) {
    for (std::size_t n = std::max<std::size_t>((4 * k + 10) * 2 * k + 2, *minimal_slots_for_budget(target, k));
         n < 10'000'000; ++n)
        if (funnel_admissible(n, k)) return n;
    return std::nullopt;
}

TEST(FunnelSizing, JumpSearchAgreesWithTheOneByOneSearch) {
    for (std::uint32_t k = 3; k <= 6; ++k)
        for (std::size_t target = 1; target < 6000; target += (target < 200 ? 1 : 37))
            EXPECT_EQ(smallest_admissible_slots(target, k), slow_search(target, k)) << "k=" << k << " target=" << target;
    EXPECT_EQ(smallest_admissible_slots(1, 10), slow_search(1, 10));
}

TEST(FunnelSizing, ConstructionErrors) {
    struct Case {
        std::size_t budget;
        std::uint32_t k;
        long faults_after;  // -1: none
        TryBuildError error;
    };
    for (Case c : {Case{10, 2, -1, TryBuildError::exponent_below_minimum(2, 3)},
                   Case{0, 0, -1, TryBuildError::exponent_below_minimum(0, 3)},
                   Case{1, 28, -1, TryBuildError::capacity_overflow()}, Case{1, 32, -1, TryBuildError::capacity_overflow()},
                   Case{SIZE_MAX, 3, -1, TryBuildError::capacity_overflow()},
                   Case{1, 3, 0, TryBuildError::alloc_error()},    // the level array
                   Case{1, 3, 1, TryBuildError::alloc_error()}}) {  // the block
        if (c.faults_after >= 0) AllocationFaults::fail_after(c.faults_after);
        auto t = MapTable::try_with_insert_budget(c.budget, c.k, kTestSeeds);
        AllocationFaults::disarm();
        ASSERT_FALSE(t.has_value()) << c.budget << " " << c.k;
        EXPECT_EQ(t.error(), c.error) << c.budget << " " << c.k;
    }
    // An empty table needs no geometry, whatever the exponent.
    auto empty = MapTable::try_with_insert_budget(0, 40, kTestSeeds);
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(empty->inspect().slot_count(), 0u);
    expect_invariants(*empty);
    EXPECT_FALSE(empty->find(IntKey(1), 99).has_value());
}

TEST(FunnelLayout, RegionsDoNotOverlapAndStayAligned) {
    for (std::size_t n : {144u, 145u, 1142u}) {
        for (auto [size, align] : {std::pair<std::size_t, std::size_t>{12, 4}, {8, 4}, {24, 8}, {16, 8}}) {
            auto l = funnel_layout(n, size, align);
            ASSERT_TRUE(l.has_value());
            EXPECT_GE(l->slots_offset, n + 7);
            EXPECT_EQ(l->slots_offset % align, 0u);
            EXPECT_GE(l->filter_offset, l->slots_offset + n * size);
            EXPECT_EQ(l->filter_offset % 64, 0u);
            EXPECT_GE(l->filter_words * 10, n);
            EXPECT_GE(l->block_size, l->filter_offset + 8 * l->filter_words);
            EXPECT_LT(l->block_size, l->filter_offset + 8 * l->filter_words + 64);
            EXPECT_EQ(l->block_size % 64, 0u);
        }
    }
    EXPECT_EQ(funnel_layout(0, 24, 8)->block_size, 0u);
    EXPECT_FALSE(funnel_layout(std::size_t{1} << 62, 24, 8).has_value());
    auto set = make_table<FunnelTable<IntKey, Unit>>(1000);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(set.inspect().control_bytes().data()) % 64, 0u);
}

TEST(FunnelRemoval, PurgeThreshold) {
    const std::size_t cases[][2] = {{144, 104}, {344, 204}, {100, 75}, {0, 0}, {SIZE_MAX, SIZE_MAX / 2}};
    for (auto [n, t] : cases) EXPECT_EQ(purge_threshold(n), t) << n;  // 3n saturates for the largest
}

}  // namespace
