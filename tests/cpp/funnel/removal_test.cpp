#include <gtest/gtest.h>

#include <vector>

#include "funnel_support.hpp"
#include "map/hash_map.hpp"

namespace {

using namespace tavoric::funnel;
using namespace tavoric::testing;

CountedFunnel filled(Ledger& ledger, std::size_t budget, int count) {
    CountedFunnel t = make_table<CountedFunnel>(budget);
    for (int v = 0; v < count; ++v) EXPECT_TRUE(put(t, ledger, v).has_value());
    return t;
}

TEST(FunnelRemove, The105thRemovalFrom144SlotsRebuildsInPlaceAndTombstonesAreReused) {
    Ledger ledger;
    {
        CountedFunnel t = filled(ledger, 126, 126);
        ASSERT_EQ(t.slot_count(), 144u);
        const std::size_t slot = *where(t, 125);
        { auto gone = t.remove(slot); }
        ASSERT_TRUE(put(t, ledger, 125).has_value());
        EXPECT_EQ(*where(t, 125), slot);  // the tombstone is reused
        EXPECT_EQ(t.tombstones(), 0u);
        for (int v = 0; v < 104; ++v) {
            EXPECT_EQ(t.remove(*where(t, v)).key.value(), v);
            expect_invariants(t);
        }
        EXPECT_EQ(t.tombstones(), 104u);
        auto last = t.remove(*where(t, 104));
        EXPECT_EQ(t.tombstones(), 0u);
        EXPECT_EQ(t.slot_count(), 144u);
        EXPECT_EQ(t.len(), 21u);
        EXPECT_FALSE(t.displaced());
        expect_invariants(t);
        for (int v = 0; v < 126; ++v) EXPECT_EQ(where(t, v).has_value(), v >= 105);
        // Removed entries are the caller's until dropped.
        EXPECT_EQ(ledger.times_released(last.key.id()), 0);
    }
    EXPECT_TRUE(ledger.all_released_once());
}

TEST(FunnelRemove, DeferredRemovalsWaitForOneCheckAboveTheThresholdOnly) {
    Ledger ledger;
    CountedFunnel t = filled(ledger, 126, 126);
    std::vector<std::size_t> before;
    for (int v = 0; v < 126; ++v) before.push_back(*where(t, v));
    for (int v = 0; v < 110; ++v) { auto e = t.remove_deferred(*where(t, v)); }
    EXPECT_EQ(t.tombstones(), 110u);
    for (int v = 110; v < 126; ++v) EXPECT_EQ(*where(t, v), before[v]);  // nothing moved
    expect_invariants(t);
    t.finish_deferred_removals();
    EXPECT_EQ(t.tombstones(), 0u);
    expect_invariants(t);
    for (int v = 110; v < 120; ++v) { auto e = t.remove_deferred(*where(t, v)); }
    t.finish_deferred_removals();
    EXPECT_EQ(t.tombstones(), 10u);
    expect_invariants(t);
}

TEST(FunnelRemove, ContainerDrainAndRetainOverAFunnelTable) {
    Ledger ledger;
    {
        tavoric::map::HashMap<CountedKey, CountedValue, CountedFunnel> map(filled(ledger, 126, 126));
        std::size_t drained = 0;
        {
            auto drain = map.extract_if([](const CountedKey& k, CountedValue&) { return k.value() % 8 != 0; });
            while (auto e = drain.next()) ASSERT_EQ(map.len() + ++drained, 126u);
        }
        EXPECT_EQ(drained, 126u - 16u);
        EXPECT_EQ(map.table().tombstones(), 0u);  // 110 > 104: purged once at the end
        map.retain([](const CountedKey& k, CountedValue&) { return k.value() < 64; });
        EXPECT_EQ(map.table().tombstones(), 8u);
        expect_invariants(map.table());
        for (int v = 0; v < 126; ++v) EXPECT_EQ(map.contains(IntKey(v)), v % 8 == 0 && v < 64);
    }
    EXPECT_TRUE(ledger.all_released_once());
}

TEST(FunnelClear, KeepsCapacityAndNeedsNoGrowthToRefill) {
    Ledger ledger;
    {
        CountedFunnel t = filled(ledger, 1000, 1000);
        for (int v = 0; v < 50; ++v) { auto e = t.remove(*where(t, v)); }
        const auto* block = t.block().base();
        t.clear();
        EXPECT_EQ(t.len(), 0u);
        EXPECT_EQ(t.tombstones(), 0u);
        for (auto w : t.filter_words()) EXPECT_EQ(w, 0u);
        EXPECT_EQ(ledger.released_count(), static_cast<std::size_t>(ledger.created()));
        expect_invariants(t);
        for (int v = 0; v < 1000; ++v) ASSERT_TRUE(put(t, ledger, v + 5000).has_value());
        EXPECT_EQ(t.slot_count(), 1142u);
        EXPECT_EQ(t.block().base(), block);
        expect_invariants(t);
    }
    EXPECT_TRUE(ledger.all_released_once());
    CountedFunnel empty = make_table<CountedFunnel>(0);
    empty.clear();
    EXPECT_EQ(empty.slot_count(), 0u);
}

TEST(FunnelTeardown, ReleasesEachKeyAndValueOnce) {
    Ledger ledger;
    {
        CountedFunnel t = filled(ledger, 0, 700);                          // several growths
        for (int v = 0; v < 700; v += 3) { auto e = t.remove(*where(t, v)); }
        for (int v = 0; v < 700; v += 2) ASSERT_TRUE(put(t, ledger, v).has_value());  // replaces and reinserts
        CountedFunnel moved = std::move(t);                                // the husk owns nothing
        expect_invariants(moved);
        CountedFunnel tombs_only = filled(ledger, 126, 20);
        for (int v = 0; v < 20; ++v) { auto e = tombs_only.remove(*where(tombs_only, v)); }
    }
    EXPECT_TRUE(ledger.all_released_once());
}

}  // namespace
