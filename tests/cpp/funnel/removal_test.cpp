#include <gtest/gtest.h>

#include <vector>

#include "funnel_support.hpp"
#include "map/hash_map.hpp"

namespace {

using namespace tavoric::funnel;
using namespace tavoric::testing;

using Counted = FunnelTable<CountedKey, CountedValue>;

Counted make_counted(std::size_t budget) {
    auto t = Counted::try_with_insert_budget(budget, 3, kTestSeeds);
    if (!t) throw std::runtime_error("construction failed");
    return std::move(*t);
}

void put(Counted& t, Ledger& ledger, std::int64_t v) {
    CountedKey key(ledger, v);
    const std::uint64_t h = t.seeds().hash(key.cached_hash());
    ASSERT_TRUE(t.insert(std::move(key), CountedValue(ledger, v), h).has_value());
}

std::optional<std::size_t> where(const Counted& t, std::int64_t v) {
    return t.find(IntKey(v), t.seeds().hash(v));
}

TEST(FunnelRemove, The105thRemovalFrom144SlotsRebuildsInPlace) {
    Ledger ledger;
    {
        Counted t = make_counted(126);
        for (int v = 0; v < 126; ++v) put(t, ledger, v);
        ASSERT_EQ(t.slot_count(), 144u);
        for (int v = 0; v < 104; ++v) {
            auto entry = t.remove(*where(t, v));
            EXPECT_EQ(entry.key.value(), v);
            expect_invariants(t);
        }
        EXPECT_EQ(t.tombstones(), 104u);
        EXPECT_EQ(t.len(), 22u);
        auto last = t.remove(*where(t, 104));
        EXPECT_EQ(t.tombstones(), 0u);
        EXPECT_EQ(t.slot_count(), 144u);
        EXPECT_EQ(t.capacity(), 126u);
        EXPECT_EQ(t.len(), 21u);
        EXPECT_FALSE(t.displaced());
        expect_invariants(t);
        for (int v = 105; v < 126; ++v) EXPECT_TRUE(where(t, v).has_value());
        for (int v = 0; v < 105; ++v) EXPECT_FALSE(where(t, v).has_value());
        // Removed entries are the caller's until dropped.
        EXPECT_EQ(ledger.times_released(last.key.id()), 0);
    }
    EXPECT_TRUE(ledger.all_released_once());
}

TEST(FunnelRemove, RemoveThenReinsertReusesTheTombstone) {
    Ledger ledger;
    Counted t = make_counted(126);
    for (int v = 0; v < 60; ++v) put(t, ledger, v);
    const std::size_t slot = *where(t, 17);
    { auto gone = t.remove(slot); }
    EXPECT_EQ(t.tombstones(), 1u);
    EXPECT_EQ(t.len(), 59u);
    put(t, ledger, 17);
    EXPECT_EQ(*where(t, 17), slot);
    EXPECT_EQ(t.tombstones(), 0u);
    EXPECT_EQ(t.len(), 60u);
    expect_invariants(t);
}

TEST(FunnelRemove, DeferredRemovalsWaitForOneCheck) {
    Ledger ledger;
    Counted t = make_counted(126);
    for (int v = 0; v < 126; ++v) put(t, ledger, v);
    std::vector<std::size_t> slots_before;
    for (int v = 0; v < 126; ++v) slots_before.push_back(*where(t, v));
    // A walk removing 110 entries keeps every other entry in place ...
    for (int v = 0; v < 110; ++v) { auto e = t.remove_deferred(*where(t, v)); }
    EXPECT_EQ(t.tombstones(), 110u);
    EXPECT_EQ(t.len(), 16u);
    for (int v = 110; v < 126; ++v) EXPECT_EQ(*where(t, v), slots_before[v]);
    expect_invariants(t);
    // ... and the end of the walk purges once, above the threshold only.
    t.finish_deferred_removals();
    EXPECT_EQ(t.tombstones(), 0u);
    expect_invariants(t);
    for (int v = 0; v < 10; ++v) { auto e = t.remove_deferred(*where(t, 110 + v)); }
    t.finish_deferred_removals();
    EXPECT_EQ(t.tombstones(), 10u);
    expect_invariants(t);
}

TEST(FunnelRemove, ContainerDrainOverAFunnelTable) {
    Ledger ledger;
    {
        tavoric::map::HashMap<CountedKey, CountedValue, Counted> map(make_counted(126));
        for (int v = 0; v < 126; ++v) ASSERT_TRUE(map.insert(CountedKey(ledger, v), CountedValue(ledger, v)));
        std::vector<std::int64_t> drained;
        {
            auto drain = map.extract_if([](const CountedKey& k, CountedValue&) { return k.value() % 8 != 0; });
            while (auto e = drain.next()) {
                drained.push_back(e->key.value());
                ASSERT_EQ(map.table().len() + drained.size(), 126u);
            }
        }
        EXPECT_EQ(drained.size(), 126u - 16u);
        EXPECT_EQ(map.table().tombstones(), 0u);  // 110 > 104: purged once at the end
        expect_invariants(map.table());
        map.retain([](const CountedKey& k, CountedValue&) { return k.value() < 64; });
        EXPECT_EQ(map.len(), 8u);
        EXPECT_EQ(map.table().tombstones(), 8u);
        expect_invariants(map.table());
        for (int v = 0; v < 126; ++v) EXPECT_EQ(map.contains(IntKey(v)), v % 8 == 0 && v < 64);
    }
    EXPECT_TRUE(ledger.all_released_once());
}

TEST(FunnelClear, KeepsCapacityAndNeedsNoGrowthToRefill) {
    Ledger ledger;
    {
        Counted t = make_counted(1000);
        for (int v = 0; v < 1000; ++v) put(t, ledger, v);
        for (int v = 0; v < 50; ++v) { auto e = t.remove(*where(t, v)); }
        const auto* block = t.block().base();
        t.clear();
        EXPECT_EQ(t.len(), 0u);
        EXPECT_EQ(t.tombstones(), 0u);
        EXPECT_EQ(t.capacity(), 1000u);
        EXPECT_EQ(t.block().base(), block);
        for (auto w : t.filter_words()) EXPECT_EQ(w, 0u);
        EXPECT_EQ(ledger.released_count(), static_cast<std::size_t>(ledger.created()));
        expect_invariants(t);
        for (int v = 0; v < 1000; ++v) put(t, ledger, v + 5000);
        EXPECT_EQ(t.slot_count(), 1142u);
        EXPECT_EQ(t.block().base(), block);
        expect_invariants(t);
    }
    EXPECT_TRUE(ledger.all_released_once());

    Counted empty = make_counted(0);
    empty.clear();
    EXPECT_EQ(empty.capacity(), 0u);
    EXPECT_EQ(empty.slot_count(), 0u);
}

TEST(FunnelTeardown, ReleasesEachKeyAndValueOnce) {
    Ledger ledger;
    {
        Counted t = make_counted(0);
        for (int v = 0; v < 700; ++v) put(t, ledger, v);                 // several growths
        for (int v = 0; v < 700; v += 3) { auto e = t.remove(*where(t, v)); }
        for (int v = 0; v < 700; v += 2) put(t, ledger, v);              // replaces and reinserts
        Counted moved = std::move(t);                                    // the husk owns nothing
        expect_invariants(moved);
    }
    EXPECT_TRUE(ledger.all_released_once());

    Ledger only_tombs;
    {
        Counted t = make_counted(126);
        for (int v = 0; v < 20; ++v) put(t, only_tombs, v);
        for (int v = 0; v < 20; ++v) { auto e = t.remove(*where(t, v)); }
        EXPECT_EQ(only_tombs.released_count(), 40u);
    }
    EXPECT_TRUE(only_tombs.all_released_once());
}

}  // namespace
