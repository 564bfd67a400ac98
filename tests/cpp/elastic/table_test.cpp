// Elastic table construction, arena, schedule, placement, growth, removal,
// rebuilds, clear, refused allocations and releases.
#include <gtest/gtest.h>

#include <cstdint>
#include <type_traits>
#include <vector>

#include "elastic_support.hpp"

namespace {

using namespace tavoric::testing;
using namespace tavoric::testing::elastic_support;
using tavoric::common::arena::Unit;
using tavoric::common::error::TryBuildError;
using tavoric::common::error::TryReserveError;
using tavoric::elastic::ProbeSchedule;

void put_checked(MapTable& t, std::int64_t i) {
    ASSERT_TRUE(put(t, i).has_value());
    ASSERT_TRUE(invariants(t));
}

// Fills an 8-slot table to its limit of 7; batch 1 fills the 2-slot level 1.
MapTable full_eight(std::vector<std::int64_t>* in_level1 = nullptr) {
    auto t = map_table(7);
    for (std::int64_t i = 0; t.len() < 7; ++i) EXPECT_TRUE(put(t, i, std::uintptr_t(i)).has_value());
    for (std::int64_t i = 0; in_level1 && i < 100; ++i)
        if (auto loc = where(t, i); loc && loc->level == 1) in_level1->push_back(i);
    return t;
}

TEST(ElasticTable, ConstructionSizesAndFailures) {
    const std::size_t cases[][5] = {  // capacity, k, slots, insert limit, levels
        {0, 3, 0, 0, 0}, {7, 3, 8, 7, 3}, {8, 3, 16, 14, 4}, {5, 1, 16, 8, 4}, {8, 40, 8, 8, 3}, {1000, 3, 2048, 1792, 11}};
    for (auto [capacity, k, slots, limit, levels] : cases) {
        auto t = map_table(capacity, std::uint32_t(k));
        EXPECT_EQ(t.inspect().slots(), slots) << capacity;
        EXPECT_EQ(t.capacity(), limit) << capacity;
        EXPECT_EQ(t.inspect().level_count(), levels) << capacity;
        EXPECT_EQ(t.inspect().batch_remaining(), slots == 0 ? 0 : t.inspect().batch_quotas()[0]);
        EXPECT_EQ(t.inspect().schedule().capacity(), tavoric::elastic::elastic_route_capacity(levels));
        EXPECT_TRUE(invariants(t));
    }
    auto empty = map_table(0);  // owns no arena at all
    EXPECT_EQ(empty.inspect().arena_base(), nullptr);
    EXPECT_FALSE(empty.find(IntKey(5, 5), 5).has_value());
    const std::size_t too_big = (std::size_t{1} << 31) - (std::size_t{1} << 28) + 1;
    EXPECT_EQ(MapTable::try_with_capacity_and_reserve_and_hasher_in(too_big, 3, kIdentitySeeds).error(),
              TryBuildError::capacity_overflow());
    EXPECT_THROW(map_table(too_big), Panic);
    EXPECT_THROW(map_table(SIZE_MAX, 40), Panic);
    EXPECT_EQ(MapTable::try_with_capacity_and_reserve_and_hasher_in(10, 0, kIdentitySeeds).error(),
              TryBuildError::exponent_below_minimum(0, 1));
    for (long allowed = 0; allowed < 3; ++allowed) {  // schedule, arena, level array refused
        AllocationFaults::fail_after(allowed);
        auto t = MapTable::try_with_capacity_and_reserve_and_hasher_in(100, 3, kIdentitySeeds);
        AllocationFaults::disarm();
        ASSERT_FALSE(t.has_value()) << allowed;
        EXPECT_EQ(t.error(), TryBuildError::alloc_error());
    }
    AllocationFaults::fail_after(1);
    EXPECT_THROW(map_table(100), Panic);
    AllocationFaults::fail_after(0);  // capacity 0 allocates nothing
    EXPECT_TRUE(MapTable::try_with_capacity_and_reserve_and_hasher_in(0, 3, kIdentitySeeds).has_value());
    AllocationFaults::disarm();
}

// Control bytes of all levels, then the entries, then the membership groups;
// no region overlaps the next and the block is 64-aligned.
TEST(ElasticTable, ArenaRegionsFollowEachOtherWithoutOverlap) {
    auto check = [](const auto& t) {
        using Entry = typename std::remove_cvref_t<decltype(t)>::entry_type;
        const std::byte* base = t.inspect().arena_base();
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(base) % 64, 0u);
        std::size_t before = 0;
        for (std::size_t i = 0; i < t.inspect().level_count(); before += t.inspect().level(i++).len) {
            EXPECT_EQ(reinterpret_cast<const std::byte*>(t.inspect().level(i).ctrl) - base, std::ptrdiff_t(before));
            EXPECT_EQ(reinterpret_cast<const std::byte*>(t.inspect().level(i).entries) - base,
                      std::ptrdiff_t(t.inspect().layout().entries_offset + before * sizeof(Entry)));
        }
        EXPECT_GE(t.inspect().layout().entries_offset, t.inspect().slots());
        EXPECT_EQ(t.inspect().layout().entries_offset % alignof(Entry), 0u);
        EXPECT_GE(t.inspect().layout().membership_offset, t.inspect().layout().entries_offset + t.inspect().slots() * sizeof(Entry));
        EXPECT_EQ(reinterpret_cast<const std::byte*>(t.inspect().membership()) - base, std::ptrdiff_t(t.inspect().layout().membership_offset));
        EXPECT_GE(t.inspect().membership_groups() * 10, t.inspect().slots());  // ten slots per group
        EXPECT_EQ(t.inspect().layout().size % 64, 0u);
    };
    for (std::size_t capacity : {7u, 100u, 1000u}) {
        check(map_table(capacity));
        check(make_table<ElasticTable<IntKey, Unit>>(capacity, 3, kIdentitySeeds));
    }
    EXPECT_EQ(tavoric::elastic::elastic_layout(10, 12, 4)->entries_offset, 12u);  // 12-byte records aligned to 4
    EXPECT_EQ(tavoric::elastic::elastic_layout(0, 24, 8)->size, 0u);
    EXPECT_EQ(tavoric::elastic::elastic_layout(SIZE_MAX / 8, 24, 8).error(), TryReserveError::alloc_error());
}

// The first placement needing phi = 122 in an 8-slot table (levels 4, 2, 2).
TEST(ElasticSchedule, ExtensionToPhi122) {
    auto len_of = [](std::size_t l) { return l == 0 ? std::size_t{4} : std::size_t{2}; };
    ProbeSchedule schedule, stepwise;
    ASSERT_TRUE(schedule.try_reserve(tavoric::elastic::elastic_route_capacity(3)).has_value());
    ASSERT_TRUE(stepwise.try_reserve(892).has_value());
    EXPECT_EQ(schedule.capacity(), 892u);
    schedule.extend(122, 3, len_of);
    const std::uint32_t want[][3] = {{1, 0, 2}, {2, 0, 2}, {0, 1, 4}, {0, 2, 4}, {1, 1, 2}, {2, 1, 2}, {1, 2, 2}};
    ASSERT_EQ(schedule.size(), 7u);
    for (std::size_t n = 0; n < 7; ++n) {
        EXPECT_EQ(schedule[n].selector, tavoric::elastic::elastic_selector(want[n][0], want[n][1])) << n;
        EXPECT_EQ(schedule[n].key, want[n][2]) << n;
    }
    EXPECT_EQ(schedule.bound(), 122u);
    // Two steps give the same schedule; smaller needs and the exceptional flag leave it alone.
    stepwise.extend(57, 3, len_of);
    EXPECT_EQ(stepwise.size(), 3u);
    stepwise.mark_exceptional();
    stepwise.extend(122, 3, len_of);
    stepwise.extend(100, 3, len_of);
    ASSERT_EQ(stepwise.size(), 7u);
    for (std::size_t n = 0; n < 7; ++n) EXPECT_EQ(stepwise[n].selector, schedule[n].selector);
    EXPECT_EQ(stepwise.bound(), 122u);
    EXPECT_TRUE(stepwise.exceptional());
    stepwise.extend(tavoric::elastic::kPhiCap, 3, len_of);  // the whole cap fits the reserved capacity exactly
    EXPECT_EQ(stepwise.size(), 892u);
    EXPECT_THROW(stepwise.extend(tavoric::elastic::kPhiCap + 1, 3, len_of), Panic);
}

// A capacity-0 table through its first growth and the doubling to 16 slots:
// slots, batch index and remaining quota after each insertion.
TEST(ElasticTable, WorkedInsertionSequenceGrowthAndReserve) {
    auto t = map_table(0);
    const std::size_t after[][3] = {{8, 0, 2}, {8, 0, 1}, {8, 0, 0}, {8, 1, 2}, {8, 1, 1}, {8, 1, 0}, {8, 2, 0}, {16, 1, 3}};
    for (std::int64_t i = 1; i <= 8; ++i) {
        put_checked(t, i);
        EXPECT_EQ(t.inspect().slots(), after[i - 1][0]) << i;
        EXPECT_EQ(t.inspect().batch_index(), after[i - 1][1]) << i;
        EXPECT_EQ(t.inspect().batch_remaining(), after[i - 1][2]) << i;
        EXPECT_TRUE(i != 3 || t.inspect().level(0).occupied == 3u);  // batch 0 probes level 0 only
        EXPECT_TRUE(i != 6 || t.inspect().level(2).occupied == 0u);
    }
    EXPECT_EQ(t.capacity(), 14u);
    EXPECT_FALSE(where(t, 9).has_value());
    auto k4 = map_table(0, 4);  // with k = 4 the eighth slot is usable before doubling
    for (std::int64_t i = 0; i < 8; ++i) put_checked(k4, i);
    EXPECT_EQ(k4.inspect().slots(), 8u);
    put_checked(k4, 8);
    EXPECT_EQ(k4.inspect().slots(), 16u);

    auto g = map_table(0);
    std::vector<std::size_t> slot_counts;
    for (std::int64_t i = 0; i < 3000; ++i) {
        ASSERT_TRUE(put(g, i, std::uintptr_t(i * 3)).has_value());
        if (slot_counts.empty() || slot_counts.back() != g.inspect().slots()) slot_counts.push_back(g.inspect().slots());
    }
    EXPECT_EQ(slot_counts, (std::vector<std::size_t>{8, 16, 32, 64, 128, 256, 512, 1024, 2048, 4096}));
    for (std::int64_t i = 0; i < 3000; ++i) ASSERT_EQ(g.entry_at(*where(g, i)).value, std::uintptr_t(i * 3));
    EXPECT_EQ(**put(g, 17, 99), 51u);

    auto r = map_table(0);
    ASSERT_TRUE(r.reserve(0).has_value());
    EXPECT_EQ(r.inspect().slots(), 0u);
    ASSERT_TRUE(r.reserve(1).has_value());
    EXPECT_EQ(r.inspect().slots(), 8u);
    put_checked(r, 1);
    put_checked(r, 2);
    ASSERT_TRUE(r.reserve(5).has_value());  // 2 + 5 = 7 fits
    EXPECT_EQ(r.inspect().slots(), 8u);
    ASSERT_TRUE(r.reserve(100).has_value());  // 102 entries: 128 slots
    EXPECT_EQ(r.inspect().slots(), 128u);
    for (std::size_t beyond : {SIZE_MAX, std::size_t{1} << 31})
        EXPECT_EQ(r.reserve(beyond).error(), TryReserveError::capacity_overflow());
    EXPECT_EQ(r.inspect().slots(), 128u);
    ASSERT_TRUE(invariants(r));
}

TEST(ElasticRemoval, TombstoneThresholds) {
    const std::size_t values[][2] = {{2, 1},     {4, 3},     {8, 6},      {16, 12},  {32, 24}, {64, 48}, {128, 96},
                                     {256, 160}, {512, 288}, {1024, 544}, {1, 0},    {3, 2},
                                     {SIZE_MAX, SIZE_MAX / 2 + 32}, {std::size_t{1} << 62, (std::size_t{1} << 61) + 32}};
    for (auto [n, theta] : values) EXPECT_EQ(tavoric::elastic::tombstone_threshold(n), theta) << n;
    // The 545th tombstone of a 1024-slot level rebuilds; the 544th does not.
    auto t = map_table(1000);
    ASSERT_EQ(t.inspect().level(0).len, 1024u);
    for (std::int64_t i = 0; i < 1200; ++i) ASSERT_TRUE(put(t, i).has_value());
    std::vector<std::int64_t> level0;
    for (std::int64_t i = 0; i < 1200; ++i)
        if (where(t, i)->level == 0) level0.push_back(i);
    ASSERT_GE(level0.size(), 545u);
    for (std::size_t n = 0; n < 544; ++n) t.remove(*where(t, level0[n]));
    EXPECT_EQ(t.inspect().level(0).tombstones, 544u);
    t.remove(*where(t, level0[544]));
    EXPECT_EQ(total_tombstones(t), 0u);
    EXPECT_EQ(t.len(), 1200u - 545u);
    EXPECT_EQ(t.inspect().slots(), 2048u);
    ASSERT_TRUE(invariants(t));
}

TEST(ElasticRemoval, BoundsReuseAndTheTwoSlotLevel) {
    auto t = map_table(7);
    ASSERT_TRUE(put(t, 42, 42).has_value());
    const auto loc = *where(t, 42);
    EXPECT_THROW((void)t.remove(ElasticLocation{3, 0}), Panic);
    EXPECT_THROW((void)t.remove(ElasticLocation{0, 4}), Panic);
    EXPECT_THROW((void)t.remove(ElasticLocation{loc.level, loc.slot == 0 ? std::size_t{1} : 0}), Panic);
    EXPECT_EQ(t.remove(loc).value, 42u);
    EXPECT_EQ(t.inspect().level(loc.level).ctrl[loc.slot], tavoric::common::arena::kTombstone);
    EXPECT_EQ(t.inspect().batch_remaining(), 2u);  // removal leaves the batch state alone
    put_checked(t, 42);  // reuses the tombstone
    // Second tombstone in a 2-slot level: theta(2) = 1, so the table rebuilds;
    // when the rebuild cannot get memory the tombstones stay until the closing check.
    for (bool refuse : {false, true}) {
        std::vector<std::int64_t> in_level1;
        auto t = full_eight(&in_level1);
        ASSERT_EQ(in_level1.size(), 2u);
        (void)t.remove(*where(t, in_level1[0]));
        EXPECT_EQ(t.inspect().level(1).tombstones, 1u);
        if (refuse) AllocationFaults::fail_after(0);
        EXPECT_EQ(t.remove(*where(t, in_level1[1])).key.value, in_level1[1]);
        AllocationFaults::disarm();
        EXPECT_EQ(total_tombstones(t), refuse ? 2u : 0u);
        ASSERT_TRUE(invariants(t));
        t.finish_deferred_removals();
        EXPECT_EQ(total_tombstones(t), 0u);
        // Five moved entries: batch 0 takes three, batch 1 the next two.
        EXPECT_EQ(t.inspect().batch_index(), 1u);
        EXPECT_EQ(t.inspect().batch_remaining(), 1u);
        ASSERT_TRUE(invariants(t));
    }
    // A full table keeps inserting in its last batch after a removal from level 0 (theta 3).
    auto full = full_eight();
    std::int64_t victim = 0;
    while (!where(full, victim) || where(full, victim)->level != 0) ++victim;
    (void)full.remove(*where(full, victim));
    put_checked(full, 1000);
    EXPECT_EQ(full.inspect().batch_index(), 2u);
    EXPECT_EQ(full.inspect().batch_remaining(), 0u);
    EXPECT_EQ(full.inspect().slots(), 8u);
}

TEST(ElasticRemoval, DeferredRemovalThroughACursorWaitsForTheClosingCheck) {
    auto t = full_eight();
    const auto before = table_order(t);
    MapTable::cursor_type cursor(t.len());
    std::vector<ElasticLocation> visited;
    while (t.scan_next(cursor) != nullptr) {
        visited.push_back(t.cursor_location(cursor));
        (void)t.remove_deferred(t.cursor_location(cursor));
    }
    EXPECT_EQ(visited, before);
    EXPECT_EQ(total_tombstones(t), 7u);
    ASSERT_TRUE(invariants(t));
    t.finish_deferred_removals();
    EXPECT_EQ(total_tombstones(t), 0u);
    ASSERT_TRUE(put(t, 1).has_value());  // under every threshold the closing check changes nothing
    (void)t.remove_deferred(*where(t, 1));
    t.finish_deferred_removals();
    EXPECT_EQ(total_tombstones(t), 1u);
}

TEST(ElasticRemoval, ClearResetsBatchAndScheduleState) {
    auto t = map_table(100);
    for (std::int64_t i = 0; i < 90; ++i) ASSERT_TRUE(put(t, i).has_value());
    (void)t.remove(*where(t, 3));
    ASSERT_GT(t.inspect().batch_index(), 0u);
    ASSERT_GT(t.inspect().schedule().size(), 0u);
    const std::size_t schedule_capacity = t.inspect().schedule().capacity();
    t.clear();
    EXPECT_EQ((std::vector<std::size_t>{t.len(), t.inspect().slots(), t.capacity(), t.inspect().batch_index(), t.inspect().batch_remaining(),
                                        t.inspect().schedule().size(), t.inspect().schedule().bound(), t.inspect().schedule().capacity()}),
              (std::vector<std::size_t>{0, 128, 112, 0, 48, 0, 0, schedule_capacity}));
    EXPECT_FALSE(t.inspect().schedule().exceptional());
    for (std::size_t g = 0; g < t.inspect().membership_groups(); ++g) {
        EXPECT_EQ(t.inspect().membership()[g].bloom, 0u);
        for (auto lane : t.inspect().membership()[g].lanes) EXPECT_EQ(lane, 0u);
    }
    ASSERT_TRUE(invariants(t));
    EXPECT_FALSE(where(t, 5).has_value());
    auto empty = map_table(0);  // clearing an empty table keeps its capacity
    empty.clear();
    EXPECT_EQ(empty.capacity() + empty.inspect().batch_remaining(), 0u);
}

TEST(ElasticReleases, RefusedGrowthLeavesTheTableAsItWas) {
    Ledger ledger;
    {
        auto t = make_table<CountedTable>(7, 3, kIdentitySeeds);
        auto insert = [&](std::int64_t i) {
            CountedKey key(ledger, i, spread_hash(i));
            const auto h = hash_in(t, key);
            return t.insert(std::move(key), CountedValue(ledger, i), h);
        };
        for (std::int64_t i = 0; i < 7; ++i) ASSERT_TRUE(insert(i).has_value());
        const auto order = table_order(t);
        // Growth to 16 slots asks for a larger schedule, then the arena, then the
        // level array; refuse each in turn (a grown schedule is kept, so the second
        // round reaches the arena).
        for (long allowed : {0L, 0L, 1L}) {
            const std::int64_t first_id = ledger.created();
            AllocationFaults::fail_after(allowed);
            auto r = insert(100);
            AllocationFaults::disarm();
            ASSERT_FALSE(r.has_value());
            EXPECT_EQ(r.error(), TryReserveError::alloc_error());
            EXPECT_EQ(ledger.times_released(first_id) + ledger.times_released(first_id + 1), 2);
            EXPECT_EQ(t.inspect().slots(), 8u);
            EXPECT_EQ(table_order(t), order);
            ASSERT_TRUE(invariants(t));
        }
        for (std::size_t additional : {100u, 1000u}) {
            AllocationFaults::fail_after(0);
            auto refused = t.reserve(additional);
            AllocationFaults::disarm();
            ASSERT_FALSE(refused.has_value());
            EXPECT_EQ(table_order(t), order);
        }
        ASSERT_TRUE(invariants(t));
        ASSERT_TRUE(insert(100).has_value());
        EXPECT_EQ(t.inspect().slots(), 16u);
    }
    EXPECT_TRUE(ledger.all_released_once());
}

// A key whose moves can be made to fail, to interrupt a rebuild halfway.
class FragileKey : public CountedKey {
public:
    static inline long moves_left = -1;  // negative: never fail
    FragileKey(Ledger& ledger, std::int64_t v) : CountedKey(ledger, v, spread_hash(v)) {}
    FragileKey(FragileKey&& other) : CountedKey(std::move(other)) {
        if (moves_left == 0) {
            moves_left = -1;
            tavoric::common::error::panic("injected move failure");
        }
        if (moves_left > 0) --moves_left;
    }
    FragileKey& operator=(FragileKey&&) = default;
    bool matches(const FragileKey& stored) const { return value() == stored.value(); }
};

// A rebuild interrupted halfway leaves a consistent table holding the moved
// entries; the guard releases the ones still in the old arena.
TEST(ElasticReleases, InterruptedRebuildReleasesWhatWasNotMoved) {
    Ledger ledger;
    {
        auto t = make_table<ElasticTable<FragileKey, CountedValue>>(100, 3, kIdentitySeeds);
        auto insert = [&](std::int64_t i) {
            FragileKey key(ledger, i);
            const auto h = hash_in(t, key);
            ASSERT_TRUE(t.insert(std::move(key), CountedValue(ledger, i), h).has_value());
        };
        for (std::int64_t i = 0; i < 100; ++i) insert(i);
        FragileKey::moves_left = 61;
        EXPECT_THROW((void)t.reserve(1000), Panic);
        FragileKey::moves_left = -1;
        EXPECT_EQ(t.inspect().slots(), 2048u);
        EXPECT_GT(t.len(), 0u);
        EXPECT_LT(t.len(), 100u);
        ASSERT_TRUE(invariants(t));
        EXPECT_TRUE(ledger.none_released_twice());
        for (std::int64_t i = 100; i < 200; ++i) insert(i);
        ASSERT_TRUE(invariants(t));
    }
    EXPECT_TRUE(ledger.all_released_once());
}

// Hash policies that concentrate keys; nothing may be lost, duplicated,
// corrupted or released twice.
TEST(ElasticRandomOperations, InvariantsAfterEveryStepUnderAdversarialHashes) {
    struct Policy {
        const char* name;
        std::intptr_t (*hash)(std::int64_t);
        int check_every;
    };
    const Policy policies[] = {
        {"spread", [](std::int64_t i) { return spread_hash(i); }, 1},
        {"constant", [](std::int64_t) { return std::intptr_t{42}; }, 25},
        {"sixteen values", [](std::int64_t i) { return static_cast<std::intptr_t>(i & 15); }, 25},
        {"high bits only", [](std::int64_t i) { return static_cast<std::intptr_t>(static_cast<std::uint64_t>(i) << 48); }, 1},
        {"low bits only", [](std::int64_t i) { return static_cast<std::intptr_t>(i & 0xFF); }, 1},
        {"negative", [](std::int64_t i) { return static_cast<std::intptr_t>(-1 - (i & 7)); }, 25},
    };
    for (const Policy& policy : policies) {
        for (auto seeds : {kIdentitySeeds, tavoric::common::hash::HashSeeds{0x1234, 0x9E3779B97F4A7C15ULL}}) {
            SCOPED_TRACE(policy.name);
            Ledger ledger;
            {
                auto t = make_table<CountedTable>(0, 3, seeds);
                random_operations(t, ledger, policy.hash, 7, 1500, 400, policy.check_every,
                                  [](const CountedTable& t) { ASSERT_TRUE(invariants(t)); });
            }
            EXPECT_TRUE(ledger.all_released_once());
        }
    }
}

}  // namespace
