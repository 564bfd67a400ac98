// Elastic removal, tombstone rebuilds, deferred removal, clear, teardown and
// the release of every key and value exactly once.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "common/arena/aligned_block.hpp"
#include "elastic_support.hpp"

namespace {

using namespace tavoric::testing::elastic_support;
using tavoric::common::arena::AllocationFaults;
using tavoric::testing::CountedKey;
using tavoric::testing::CountedValue;
using tavoric::testing::IntKey;
using tavoric::testing::Ledger;

using MapTable = ElasticTable<IntKey, std::uintptr_t>;
using CountedTable = ElasticTable<CountedKey, CountedValue>;

// Fills an 8-slot table to its limit of 7; batch 1 fills the 2-slot level 1.
MapTable full_eight(std::vector<std::int64_t>* in_level1 = nullptr) {
    auto t = MapTable::with_capacity_and_reserve_and_hasher_in(7, 3, kIdentitySeeds);
    for (std::int64_t i = 0; t.len() < 7; ++i) EXPECT_TRUE(put(t, i, std::uintptr_t(i)).has_value());
    for (std::int64_t i = 0; in_level1 && i < 100; ++i)
        if (auto loc = where(t, i); loc && loc->level == 1) in_level1->push_back(i);
    return t;
}

TEST(ElasticRemoval, OnlyKeyLeavesATombstoneAndBoundsAreChecked) {
    auto t = MapTable::with_capacity_and_reserve_and_hasher_in(7, 3, kIdentitySeeds);
    ASSERT_TRUE(put(t, 42, 42).has_value());
    const auto loc = *where(t, 42);
    EXPECT_THROW((void)t.remove(ElasticLocation{3, 0}), tavoric::common::error::Panic);
    EXPECT_THROW((void)t.remove(ElasticLocation{0, 4}), tavoric::common::error::Panic);
    EXPECT_THROW((void)t.remove(ElasticLocation{loc.level, loc.slot == 0 ? std::size_t{1} : 0}),
                 tavoric::common::error::Panic);
    auto entry = t.remove(loc);
    EXPECT_EQ(entry.key.value, 42);
    EXPECT_EQ(entry.value, 42u);
    EXPECT_EQ(t.len(), 0u);
    EXPECT_EQ(t.level(loc.level).ctrl[loc.slot], tavoric::common::arena::kTombstone);
    EXPECT_FALSE(where(t, 42).has_value());
    ASSERT_TRUE(invariants(t));
    EXPECT_EQ(t.batch_remaining(), 2u);  // batch state is left alone by removal
    ASSERT_TRUE(put(t, 42).has_value());  // the tombstone is reused
    ASSERT_TRUE(invariants(t));
}

// Second tombstone in a 2-slot level: theta(2) = 1, so the table rebuilds;
// when the rebuild cannot get memory the tombstones stay until the closing
// check retries it.
TEST(ElasticRemoval, SecondTombstoneOfATwoSlotLevelRebuilds) {
    for (bool refuse : {false, true}) {
        std::vector<std::int64_t> in_level1;
        auto t = full_eight(&in_level1);
        ASSERT_EQ(in_level1.size(), 2u);
        (void)t.remove(*where(t, in_level1[0]));
        EXPECT_EQ(t.level(1).tombstones, 1u);
        if (refuse) AllocationFaults::fail_after(0);
        EXPECT_EQ(t.remove(*where(t, in_level1[1])).key.value, in_level1[1]);
        AllocationFaults::disarm();
        EXPECT_EQ(total_tombstones(t), refuse ? 2u : 0u);
        EXPECT_EQ(t.len(), 5u);
        ASSERT_TRUE(invariants(t));
        t.finish_deferred_removals();
        EXPECT_EQ(total_tombstones(t), 0u);
        // Five moved entries: batch 0 takes three, batch 1 the next two.
        EXPECT_EQ(t.batch_index(), 1u);
        EXPECT_EQ(t.batch_remaining(), 1u);
        ASSERT_TRUE(invariants(t));
    }
}

// The 545th tombstone of a 1024-slot level rebuilds; the 544th does not.
TEST(ElasticRemoval, TombstoneThresholdOfA1024SlotLevel) {
    auto t = MapTable::with_capacity_and_reserve_and_hasher_in(1000, 3, kIdentitySeeds);
    ASSERT_EQ(t.level(0).len, 1024u);
    for (std::int64_t i = 0; i < 1200; ++i) ASSERT_TRUE(put(t, i).has_value());
    ASSERT_TRUE(invariants(t));
    std::vector<std::int64_t> level0;
    for (std::int64_t i = 0; i < 1200; ++i)
        if (where(t, i)->level == 0) level0.push_back(i);
    ASSERT_GE(level0.size(), 545u);
    for (std::size_t n = 0; n < 544; ++n) t.remove(*where(t, level0[n]));
    EXPECT_EQ(t.level(0).tombstones, 544u);
    ASSERT_TRUE(invariants(t));
    t.remove(*where(t, level0[544]));
    EXPECT_EQ(total_tombstones(t), 0u);
    EXPECT_EQ(t.len(), 1200u - 545u);
    EXPECT_EQ(t.slots(), 2048u);
    ASSERT_TRUE(invariants(t));
    for (std::size_t n = 545; n < level0.size(); ++n) EXPECT_TRUE(where(t, level0[n]).has_value());
}

TEST(ElasticRemoval, DeferredRemovalWaitsForTheClosingCheck) {
    auto t = full_eight();
    const auto before = table_order(t);
    // Drain every entry through a cursor, as the containers do.
    MapTable::cursor_type cursor(t.len());
    std::vector<ElasticLocation> visited;
    while (t.scan_next(cursor) != nullptr) {
        visited.push_back(t.cursor_location(cursor));
        (void)t.remove_deferred(t.cursor_location(cursor));
    }
    EXPECT_EQ(visited, before);
    EXPECT_EQ(t.len(), 0u);
    EXPECT_EQ(total_tombstones(t), 7u);
    ASSERT_TRUE(invariants(t));
    t.finish_deferred_removals();
    EXPECT_EQ(total_tombstones(t), 0u);
    ASSERT_TRUE(invariants(t));
    // Nothing over any threshold: the closing check changes nothing.
    ASSERT_TRUE(put(t, 1).has_value());
    auto loc = *where(t, 1);
    (void)t.remove_deferred(loc);
    t.finish_deferred_removals();
    EXPECT_EQ(total_tombstones(t), 1u);
}

TEST(ElasticClear, ResetsBatchAndScheduleState) {
    auto t = MapTable::with_capacity_and_reserve_and_hasher_in(100, 3, kIdentitySeeds);
    for (std::int64_t i = 0; i < 90; ++i) ASSERT_TRUE(put(t, i).has_value());
    (void)t.remove(*where(t, 3));
    ASSERT_GT(t.batch_index(), 0u);
    ASSERT_GT(t.schedule().size(), 0u);
    const std::size_t capacity_before = t.schedule().capacity();
    t.clear();
    EXPECT_EQ(t.len(), 0u);
    EXPECT_EQ(t.slots(), 128u);
    EXPECT_EQ(t.capacity(), 112u);
    EXPECT_EQ(t.batch_index(), 0u);
    EXPECT_EQ(t.batch_remaining(), 48u);
    EXPECT_EQ(t.schedule().size(), 0u);
    EXPECT_EQ(t.schedule().bound(), 0u);
    EXPECT_FALSE(t.schedule().exceptional());
    EXPECT_EQ(t.schedule().capacity(), capacity_before);
    EXPECT_EQ(total_tombstones(t), 0u);
    for (std::size_t g = 0; g < t.membership_groups(); ++g) {
        EXPECT_EQ(t.membership()[g].bloom, 0u);
        for (auto lane : t.membership()[g].lanes) EXPECT_EQ(lane, 0u);
    }
    ASSERT_TRUE(invariants(t));
    EXPECT_FALSE(where(t, 5).has_value());
    for (std::int64_t i = 0; i < 50; ++i) ASSERT_TRUE(put(t, i).has_value());
    ASSERT_TRUE(invariants(t));
    // Clearing an empty table keeps its capacity.
    auto empty = MapTable::with_capacity_and_reserve_and_hasher_in(0, 3, kIdentitySeeds);
    empty.clear();
    EXPECT_EQ(empty.capacity(), 0u);
    EXPECT_EQ(empty.batch_remaining(), 0u);
}

TEST(ElasticRemoval, InsertionsAfterRemovalsContinueInTheLastBatch) {
    auto t = full_eight();
    ASSERT_EQ(t.batch_index(), 2u);
    ASSERT_EQ(t.batch_remaining(), 0u);
    // Remove one key of level 0 (4 slots, theta 3: no rebuild) and add another.
    std::int64_t victim = -1;
    for (std::int64_t i = 0; i < 20 && victim < 0; ++i)
        if (auto loc = where(t, i); loc && loc->level == 0) victim = i;
    ASSERT_GE(victim, 0);
    (void)t.remove(*where(t, victim));
    ASSERT_TRUE(put(t, 1000).has_value());
    EXPECT_EQ(t.batch_index(), 2u);
    EXPECT_EQ(t.batch_remaining(), 0u);
    EXPECT_EQ(t.slots(), 8u);
    ASSERT_TRUE(invariants(t));
}

// ---- releases -------------------------------------------------------------

struct Counted {
    Ledger ledger;
    CountedKey key(std::int64_t i) { return CountedKey(ledger, i, spread_hash(i)); }
    CountedValue value(std::int64_t i) { return CountedValue(ledger, i); }
    auto insert(CountedTable& t, std::int64_t i, std::int64_t payload) {
        auto k = key(i);
        const auto h = hash_in(t, k);
        return t.insert(std::move(k), value(payload), h);
    }
};

TEST(ElasticReleases, EveryKeyAndValueReleasedExactlyOnce) {
    Counted c;
    {
        auto t = CountedTable::with_capacity_and_reserve_and_hasher_in(0, 3, kIdentitySeeds);
        for (std::int64_t i = 0; i < 400; ++i) ASSERT_TRUE(c.insert(t, i, i).has_value());
        ASSERT_TRUE(invariants(t));
        // Replace: the old value comes back, the new key is released at once.
        {
            auto key = c.key(7);
            const auto h = hash_in(t, key);
            const auto new_key_id = key.id();
            auto old = t.insert(std::move(key), c.value(700), h);
            ASSERT_TRUE(old.has_value() && old->has_value());
            EXPECT_EQ((*old)->payload(), 7);
            EXPECT_EQ(c.ledger.times_released(new_key_id), 1);
        }
        // Removal hands key and value out; they are released by the caller.
        for (std::int64_t i = 0; i < 300; ++i) {
            auto probe = c.key(i);
            auto loc = t.find(probe, hash_in(t, probe));
            ASSERT_TRUE(loc.has_value());
            auto entry = t.remove(*loc);
            EXPECT_EQ(entry.key.value(), i);
        }
        ASSERT_TRUE(invariants(t));
        EXPECT_TRUE(c.ledger.none_released_twice());
        // Growth rebuilds move entries without releasing them.
        const auto released_before = c.ledger.released_count();
        ASSERT_TRUE(t.reserve(2000).has_value());
        EXPECT_EQ(c.ledger.released_count(), released_before);
        ASSERT_TRUE(invariants(t));
        t.clear();
        EXPECT_EQ(t.len(), 0u);
        for (std::int64_t i = 0; i < 50; ++i) ASSERT_TRUE(c.insert(t, i, i).has_value());
        // Teardown releases the 50 live entries.
    }
    EXPECT_TRUE(c.ledger.all_released_once());
}

TEST(ElasticReleases, RefusedGrowthLeavesTheTableAsItWas) {
    Counted c;
    {
        auto t = CountedTable::with_capacity_and_reserve_and_hasher_in(7, 3, kIdentitySeeds);
        for (std::int64_t i = 0; i < 7; ++i) ASSERT_TRUE(c.insert(t, i, i).has_value());
        const auto order = table_order(t);
        // Growth to 16 slots asks for a larger schedule, then the arena, then
        // the level array; refuse each in turn (a grown schedule capacity is
        // kept, so the second round reaches the arena).
        for (long allowed : {0L, 0L, 1L}) {
            auto key = c.key(100);
            const auto key_id = key.id();
            const auto h = hash_in(t, key);
            auto value = c.value(100);
            const auto value_id = value.id();
            AllocationFaults::fail_after(allowed);
            auto r = t.insert(std::move(key), std::move(value), h);
            AllocationFaults::disarm();
            ASSERT_FALSE(r.has_value());
            EXPECT_EQ(r.error(), tavoric::common::error::TryReserveError::alloc_error());
            EXPECT_EQ(c.ledger.times_released(key_id), 1);
            EXPECT_EQ(c.ledger.times_released(value_id), 1);
            EXPECT_EQ(t.slots(), 8u);
            EXPECT_EQ(t.len(), 7u);
            EXPECT_EQ(table_order(t), order);
            ASSERT_TRUE(invariants(t));
        }
        AllocationFaults::fail_after(0);
        auto refused = t.reserve(100);
        AllocationFaults::disarm();
        ASSERT_FALSE(refused.has_value());
        EXPECT_EQ(t.slots(), 8u);
        EXPECT_EQ(table_order(t), order);
        // The refused schedule reservation of a deeper shape fails the same way.
        AllocationFaults::fail_after(0);
        auto deeper = t.reserve(1000);
        AllocationFaults::disarm();
        ASSERT_FALSE(deeper.has_value());
        ASSERT_TRUE(invariants(t));
        EXPECT_TRUE(c.ledger.none_released_twice());
        ASSERT_TRUE(c.insert(t, 100, 100).has_value());
        EXPECT_EQ(t.slots(), 16u);
        ASSERT_TRUE(invariants(t));
    }
    EXPECT_TRUE(c.ledger.all_released_once());
}

// A key whose moves can be made to fail, to interrupt a rebuild halfway.
class FragileKey {
public:
    static inline long moves_left = -1;  // negative: never fail

    FragileKey(Ledger& ledger, std::int64_t v) : inner_(ledger, v, spread_hash(v)) {}
    FragileKey(FragileKey&& other) : inner_(std::move(other.inner_)) {
        if (moves_left == 0) {
            moves_left = -1;
            tavoric::common::error::panic("injected move failure");
        }
        if (moves_left > 0) --moves_left;
    }
    FragileKey& operator=(FragileKey&&) = default;

    std::intptr_t cached_hash() const noexcept { return inner_.cached_hash(); }
    bool matches(const FragileKey& stored) const { return inner_.matches(stored.inner_); }
    std::int64_t value() const { return inner_.value(); }

private:
    CountedKey inner_;
};

// A rebuild interrupted halfway leaves a consistent table holding the moved
// entries; the guard releases the ones still in the old arena, so every key
// and value is still released exactly once.
TEST(ElasticReleases, InterruptedRebuildReleasesWhatWasNotMoved) {
    using FragileTable = ElasticTable<FragileKey, CountedValue>;
    Ledger ledger;
    {
        auto t = FragileTable::with_capacity_and_reserve_and_hasher_in(100, 3, kIdentitySeeds);
        for (std::int64_t i = 0; i < 100; ++i) {
            FragileKey key(ledger, i);
            const auto h = hash_in(t, key);
            ASSERT_TRUE(t.insert(std::move(key), CountedValue(ledger, i), h).has_value());
        }
        FragileKey::moves_left = 61;
        EXPECT_THROW((void)t.reserve(1000), tavoric::common::error::Panic);
        FragileKey::moves_left = -1;
        EXPECT_EQ(t.slots(), 2048u);
        EXPECT_GT(t.len(), 0u);
        EXPECT_LT(t.len(), 100u);
        ASSERT_TRUE(invariants(t));
        EXPECT_TRUE(ledger.none_released_twice());
        // The table goes on working.
        for (std::int64_t i = 100; i < 200; ++i) {
            FragileKey key(ledger, i);
            const auto h = hash_in(t, key);
            ASSERT_TRUE(t.insert(std::move(key), CountedValue(ledger, i), h).has_value());
        }
        ASSERT_TRUE(invariants(t));
    }
    EXPECT_TRUE(ledger.all_released_once());
}

}  // namespace
