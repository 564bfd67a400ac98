#include <gtest/gtest.h>

#include <vector>

#include "funnel/layout.hpp"
#include "funnel_support.hpp"

namespace {

using namespace tavoric::funnel;
using tavoric::common::error::TryBuildError;
using namespace tavoric::testing;

using MapTable = FunnelTable<IntKey, void*>;
using SetTable = FunnelTable<IntKey, Unit>;

// The search without the jump, one count after another.
std::optional<std::size_t> slow_search(std::size_t target, std::uint32_t k) {
    std::size_t n = std::max<std::size_t>((4 * k + 10) * 2 * k + 2, *minimal_slots_for_budget(target, k));
    for (; n < 10'000'000; ++n) {
        if (funnel_admissible(n, k)) return n;
    }
    return std::nullopt;
}

TEST(FunnelGeometry, AdmissibleSlotCountsForKThreeUpTo420) {
    std::vector<std::size_t> got;
    for (std::size_t n = 2; n <= 420; ++n) {
        if (funnel_admissible(n, 3)) got.push_back(n);
    }
    const std::vector<std::size_t> want = {144, 145, 150, 151, 156, 157, 162, 163, 168, 169, 174, 175,
                                           180, 181, 186, 187, 192, 193, 199, 205, 257, 263, 269, 344,
                                           350, 356, 357, 362, 363, 368, 369, 374, 375, 380, 381, 386,
                                           387, 392, 393, 398, 399, 404, 405, 410, 411, 416, 417};
    EXPECT_EQ(got, want);
}

TEST(FunnelGeometry, ShapesOf144And145Slots) {
    auto s = FunnelShape::from_slots(144, 3);
    ASSERT_TRUE(s.has_value());
    ASSERT_EQ(s->level_count, 22u);
    for (std::size_t i = 0; i < 22; ++i) {
        EXPECT_EQ(s->levels[i].bucket_count, 1u);
        EXPECT_EQ(s->levels[i].start, 6 * i);
        EXPECT_EQ(s->levels[i].selector, static_cast<std::uint64_t>(i) << 16);
    }
    EXPECT_EQ(s->uniform_start, 132u);
    EXPECT_EQ(s->uniform_size, 6u);
    EXPECT_EQ(s->uniform_probes, 3u);
    EXPECT_EQ(s->two_choice_start, 138u);
    EXPECT_EQ(s->two_choice_buckets, 1u);
    EXPECT_EQ(s->two_choice_width, 6u);
    EXPECT_EQ(s->insert_budget, 126u);

    auto t = FunnelShape::from_slots(145, 3);
    ASSERT_TRUE(t.has_value());
    EXPECT_EQ(t->uniform_start, 132u);
    EXPECT_EQ(t->uniform_size, 7u);
    EXPECT_EQ(t->two_choice_start, 139u);
    EXPECT_EQ(t->two_choice_buckets, 1u);
    EXPECT_EQ(t->insert_budget, 127u);

    EXPECT_FALSE(FunnelShape::from_slots(146, 3).has_value());
    EXPECT_FALSE(FunnelShape::from_slots(1, 3).has_value());
    auto empty = FunnelShape::from_slots(0, 3);
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(empty->level_count, 0u);
    EXPECT_EQ(empty->insert_budget, 0u);
}

TEST(FunnelGeometry, ShapeOf1142Slots) {
    auto s = FunnelShape::from_slots(1142, 3);
    ASSERT_TRUE(s.has_value());
    std::vector<std::size_t> counts, starts;
    std::size_t buckets = 0;
    for (std::size_t i = 0; i < s->level_count; ++i) {
        counts.push_back(s->levels[i].bucket_count);
        starts.push_back(s->levels[i].start);
        buckets += s->levels[i].bucket_count;
        EXPECT_EQ(s->levels[i].threshold, tavoric::common::hash::reduction_threshold(s->levels[i].bucket_count));
    }
    std::vector<std::size_t> want = {44, 34, 26, 20, 14, 10, 7, 5, 3, 2};
    want.resize(22, 1);
    EXPECT_EQ(counts, want);
    EXPECT_EQ(buckets, 177u);
    EXPECT_EQ(std::vector<std::size_t>(starts.begin(), starts.begin() + 4), (std::vector<std::size_t>{0, 264, 468, 624}));
    EXPECT_EQ(s->uniform_probes, 4u);
    EXPECT_EQ(s->uniform_start, 1062u);
    EXPECT_EQ(s->uniform_size, 40u);
    EXPECT_EQ(s->two_choice_start, 1102u);
    EXPECT_EQ(s->two_choice_buckets, 5u);
    EXPECT_EQ(s->two_choice_width, 8u);
    EXPECT_EQ(s->insert_budget, 1000u);
}

TEST(FunnelSizing, CapacitiesForRequestedBudgets) {
    struct Case {
        std::size_t budget, slots, capacity;
    };
    for (Case c : {Case{1, 144, 126}, Case{126, 144, 126}, Case{127, 145, 127}, Case{1000, 1142, 1000}}) {
        auto t = MapTable::try_with_insert_budget(c.budget, 3, kTestSeeds);
        ASSERT_TRUE(t.has_value()) << c.budget;
        EXPECT_EQ(t->slot_count(), c.slots) << c.budget;
        EXPECT_EQ(t->capacity(), c.capacity) << c.budget;
        EXPECT_EQ(t->filter_words().size(), (c.slots + 9) / 10);
        expect_invariants(*t);
    }
    auto empty = MapTable::try_with_insert_budget(0, 3, kTestSeeds);
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(empty->capacity(), 0u);
    EXPECT_EQ(empty->slot_count(), 0u);
    EXPECT_FALSE(empty->find(IntKey(1), 99).has_value());
}

TEST(FunnelSizing, SmallestTablesPerExponentAndTheLargeExponents) {
    struct Case {
        std::uint32_t k;
        std::size_t slots, budget;
    };
    for (Case c : {Case{3, 144, 126}, Case{4, 344, 323}, Case{5, 686, 665}, Case{6, 1372, 1351}, Case{8, 5472, 5451},
                   Case{12, 109244, 0}}) {
        auto n = smallest_admissible_slots(1, c.k);
        ASSERT_TRUE(n.has_value()) << c.k;
        EXPECT_EQ(*n, c.slots) << c.k;
        EXPECT_LT(size_search_attempts(), 100u) << c.k;
        if (c.budget != 0) {
            EXPECT_EQ(tavoric::common::arena::insert_budget_for(*n, c.k), c.budget);
        }
    }
    auto k27 = smallest_admissible_slots(1, 27);
    ASSERT_TRUE(k27.has_value());
    EXPECT_EQ(*k27, 3579139460u);
    EXPECT_LT(size_search_attempts(), 100u);
    for (std::uint32_t k = 28; k <= 31; ++k) {
        EXPECT_FALSE(smallest_admissible_slots(1, k).has_value()) << k;
        EXPECT_LT(size_search_attempts(), 100u) << k;
        auto t = MapTable::try_with_insert_budget(1, k, kTestSeeds);
        ASSERT_FALSE(t.has_value());
        EXPECT_EQ(t.error().message(), "capacity overflow");
    }
}

TEST(FunnelSizing, JumpSearchAgreesWithTheOneByOneSearch) {
    for (std::uint32_t k = 3; k <= 6; ++k) {
        for (std::size_t target = 1; target < 6000; target += (target < 200 ? 1 : 37)) {
            EXPECT_EQ(smallest_admissible_slots(target, k), slow_search(target, k)) << "k=" << k << " target=" << target;
        }
    }
    EXPECT_EQ(smallest_admissible_slots(1, 10), slow_search(1, 10));
}

TEST(FunnelSizing, GrowthSequenceFromEmpty) {
    std::vector<std::size_t> slots, budgets;
    std::size_t budget = 0, len = 0;
    for (int step = 0; step < 8; ++step) {
        auto next = next_growth_slots(budget, 3, len + 1);
        ASSERT_TRUE(next.has_value());
        slots.push_back(*next);
        budget = tavoric::common::arena::insert_budget_for(*next, 3);
        budgets.push_back(budget);
        len = budget;
    }
    EXPECT_EQ(slots, (std::vector<std::size_t>{144, 344, 688, 1375, 2751, 5503, 11007, 22015}));
    EXPECT_EQ(budgets, (std::vector<std::size_t>{126, 301, 602, 1204, 2408, 4816, 9632, 19264}));
    EXPECT_FALSE(next_growth_slots(0, 3, 0x7FFFFFFF).has_value());
    EXPECT_FALSE(next_growth_slots(0, 32, 1).has_value());
    EXPECT_FALSE(next_growth_slots(0, 2, 1).has_value());
    EXPECT_EQ(next_growth_slots(0, 3, 0), std::optional<std::size_t>(0));
}

TEST(FunnelSizing, ConstructionErrors) {
    auto low = MapTable::try_with_insert_budget(10, 2, kTestSeeds);
    ASSERT_FALSE(low.has_value());
    EXPECT_EQ(low.error(), TryBuildError::exponent_below_minimum(2, 3));
    EXPECT_EQ(low.error().message(), "Funnel reserve exponent 2 is below the minimum 3");
    EXPECT_FALSE(MapTable::try_with_insert_budget(0, 0, kTestSeeds).has_value());

    auto big_k = MapTable::try_with_insert_budget(1, 32, kTestSeeds);
    ASSERT_FALSE(big_k.has_value());
    EXPECT_EQ(big_k.error(), TryBuildError::capacity_overflow());
    EXPECT_TRUE(MapTable::try_with_insert_budget(0, 40, kTestSeeds).has_value());

    auto huge = MapTable::try_with_insert_budget(std::numeric_limits<std::size_t>::max(), 3, kTestSeeds);
    ASSERT_FALSE(huge.has_value());
    EXPECT_EQ(huge.error(), TryBuildError::capacity_overflow());

    // A refused level array or block is an allocation failure.
    tavoric::common::arena::AllocationFaults::fail_after(0);
    auto no_levels = MapTable::try_with_insert_budget(1, 3, kTestSeeds);
    ASSERT_FALSE(no_levels.has_value());
    EXPECT_EQ(no_levels.error().message(), "memory allocation failed");
    tavoric::common::arena::AllocationFaults::fail_after(1);
    auto no_block = MapTable::try_with_insert_budget(1, 3, kTestSeeds);
    ASSERT_FALSE(no_block.has_value());
    EXPECT_EQ(no_block.error(), TryBuildError::alloc_error());
}

TEST(FunnelLayout, BlockFiguresOnThirtyTwoAndSixtyFourBitEntries) {
    // 32-bit entries (12-byte map, 8-byte set, 4-byte aligned).
    auto m144 = funnel_layout(144, 12, 4);
    ASSERT_TRUE(m144.has_value());
    EXPECT_EQ(m144->control_bytes, 151u);
    EXPECT_EQ(m144->slots_offset, 152u);
    EXPECT_EQ(m144->filter_offset, 1920u);
    EXPECT_EQ(m144->filter_words, 15u);
    EXPECT_EQ(m144->block_size, 2048u);
    auto m1142 = funnel_layout(1142, 12, 4);
    EXPECT_EQ(m1142->slots_offset, 1152u);
    EXPECT_EQ(m1142->filter_offset, 14912u);
    EXPECT_EQ(m1142->block_size, 15872u);
    auto s1142 = funnel_layout(1142, 8, 4);
    EXPECT_EQ(s1142->filter_offset, 10304u);
    EXPECT_EQ(s1142->block_size, 11264u);

    // This platform: 24-byte map entries, 16-byte set entries.
    static_assert(sizeof(MapTable::entry_type) == 24 && sizeof(SetTable::entry_type) == 16);
    auto map144 = MapTable::try_with_insert_budget(126, 3, kTestSeeds);
    EXPECT_EQ(map144->block().size(), 3776u);
    auto l = funnel_layout(144, 24, 8);
    EXPECT_EQ(l->slots_offset, 152u);
    EXPECT_EQ(l->filter_offset, 3648u);
    auto map1142 = MapTable::try_with_insert_budget(1000, 3, kTestSeeds);
    auto lm = funnel_layout(1142, 24, 8);
    EXPECT_EQ(lm->slots_offset, 1152u);
    EXPECT_EQ(lm->filter_offset, 28608u);
    EXPECT_EQ(lm->block_size, 29568u);
    EXPECT_EQ(map1142->block().size(), 29568u);
    auto set1142 = SetTable::try_with_insert_budget(1000, 3, kTestSeeds);
    auto ls = funnel_layout(1142, 16, 8);
    EXPECT_EQ(ls->slots_offset, 1152u);
    EXPECT_EQ(ls->filter_offset, 19456u);
    EXPECT_EQ(ls->block_size, 20416u);
    EXPECT_EQ(set1142->block().size(), 20416u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(set1142->control_bytes().data()) % 64, 0u);

    auto zero = funnel_layout(0, 24, 8);
    EXPECT_EQ(zero->block_size, 0u);
    EXPECT_FALSE(funnel_layout(std::size_t{1} << 62, 24, 8).has_value());
}

TEST(FunnelRemoval, PurgeThreshold) {
    EXPECT_EQ(purge_threshold(144), 104u);
    EXPECT_EQ(purge_threshold(344), 204u);
    EXPECT_EQ(purge_threshold(100), 75u);
    EXPECT_EQ(purge_threshold(0), 0u);
    EXPECT_EQ(purge_threshold(std::numeric_limits<std::size_t>::max()),
              std::numeric_limits<std::size_t>::max() / 2);  // 3n saturates
}

}  // namespace

namespace {

TEST(FunnelGeometry, PlanQuantitiesOf1142Slots) {
    auto plan = tavoric::funnel::funnel_plan(1142, 3);
    ASSERT_TRUE(plan.has_value());
    EXPECT_EQ(plan->alpha, 22u);
    EXPECT_EQ(plan->beta, 6u);
    EXPECT_EQ(plan->lambda, 4u);
    EXPECT_EQ(plan->w, 8u);
    EXPECT_EQ(plan->special, 80u);
    EXPECT_EQ(plan->first_level, 44u);
    EXPECT_FALSE((tavoric::funnel::funnel_plan(146, 3).has_value()));
    EXPECT_FALSE((tavoric::funnel::funnel_plan(1142, 2).has_value()));
}

}  // namespace
