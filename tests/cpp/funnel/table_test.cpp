// Funnel insertion, growth, reserve, iteration, removal and purges, clear,
// refused allocations, adversarial keys and releases.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <vector>

#include "common/error/panic.hpp"
#include "funnel_support.hpp"

namespace {

using namespace tavoric::funnel;
using namespace tavoric::testing;
using tavoric::common::error::Panic;
using Table = FunnelTable<IntKey, int>;

std::optional<int> put(Table& t, std::int64_t v, int value) {
    auto r = t.insert(IntKey(v), std::move(value), t.seeds().hash(v));
    EXPECT_TRUE(r.has_value());
    return r.has_value() ? *r : std::nullopt;
}

CountedFunnel filled(Ledger& ledger, std::size_t budget, int count) {
    CountedFunnel t = make_table<CountedFunnel>(budget);
    for (int v = 0; v < count; ++v) EXPECT_TRUE(put(t, ledger, v).has_value());
    return t;
}

TEST(FunnelInsert, GrowsOnlyWhenANewKeyExceedsTheBudgetAlongTheSizeSequence) {
    Table t = make_table<Table>(0);
    EXPECT_FALSE(where(t, 5).has_value());
    std::vector<std::size_t> sizes;
    for (int v = 0; v < 19265; ++v) {
        const std::size_t before = t.inspect().slot_count();
        put(t, v, v);
        if (t.inspect().slot_count() != before) {
            sizes.push_back(t.inspect().slot_count());
            expect_invariants(t);
        }
        if (v == 125) {  // re-inserting existing keys at full capacity replaces, never grows
            for (int w = 0; w <= v; ++w) EXPECT_EQ(put(t, w, w + 1000), std::optional<int>(w));
            EXPECT_EQ(t.inspect().slot_count(), 144u);
        }
    }
    EXPECT_EQ(sizes, (std::vector<std::size_t>{144, 344, 688, 1375, 2751, 5503, 11007, 22015, 44031}));
    for (int v = 0; v < 19265; ++v) ASSERT_EQ(t.entry_at(*where(t, v)).value, v < 126 ? v + 1000 : v) << v;
    // Iteration is ascending slot order over live slots.
    Table::cursor_type cursor(t.len());
    std::vector<std::size_t> slots;
    while (t.scan_next(cursor)) slots.push_back(t.cursor_location(cursor));
    ASSERT_EQ(slots.size(), t.len());
    EXPECT_TRUE(std::adjacent_find(slots.begin(), slots.end(), std::greater_equal<>()) == slots.end());
    for (std::size_t s : slots) ASSERT_TRUE(tavoric::common::arena::is_live(t.inspect().control_bytes()[s]));
}

TEST(FunnelInsert, ReserveGrowsOnceToAtLeastDoubleAndNeverShrinks) {
    Table t = make_table<Table>(1000);
    ASSERT_TRUE(t.reserve(0));
    ASSERT_TRUE(t.reserve(1000));
    EXPECT_EQ(t.inspect().slot_count(), 1142u);
    for (int v = 0; v < 10; ++v) put(t, v, v);
    ASSERT_TRUE(t.reserve(990));
    EXPECT_EQ(t.inspect().slot_count(), 1142u);
    ASSERT_TRUE(t.reserve(991));
    EXPECT_EQ(t.inspect().slot_count(), *smallest_admissible_slots(2000, 3));
    const std::size_t cap = t.capacity();
    ASSERT_TRUE(t.reserve(5000));
    EXPECT_GE(t.capacity(), std::max<std::size_t>(5010, 2 * cap));
    for (int v = 0; v < 10; ++v) EXPECT_TRUE(where(t, v).has_value());
    EXPECT_EQ(t.reserve(SIZE_MAX).error(), TryReserveError::capacity_overflow());  // before any change
    EXPECT_EQ(t.len(), 10u);
    expect_invariants(t);
}

TEST(FunnelInsert, ExponentsWithoutATablePanicOnTheFirstKey) {
    Ledger ledger;
    for (std::uint32_t k : {28u, 29u, 40u}) {
        CountedFunnel t = make_table<CountedFunnel>(0, k);
        try {
            (void)put(t, ledger, 1);
            FAIL() << "no panic";
        } catch (const Panic& p) {
            EXPECT_EQ(p.message(), "capacity overflow");
        }
        EXPECT_EQ(t.len() + t.capacity(), 0u);
    }
    EXPECT_TRUE(ledger.all_released_once());  // the passed keys and values
}

TEST(FunnelRandomOperations, InvariantsAfterEveryStep) {
    const std::pair<std::uint32_t, std::intptr_t (*)(std::int64_t)> cases[] = {
        {3, [](std::int64_t v) { return std::intptr_t(v); }},
        {5, [](std::int64_t v) { return std::intptr_t(v * 0x9E3779B97F4A7C15LL); }},
        {8, [](std::int64_t v) { return std::intptr_t(v); }},
        {3, [](std::int64_t v) { return std::intptr_t(v & 7); }},  // eight hashes: fallback placement
    };
    for (auto [k, hash] : cases) {
        Ledger ledger;
        {
            CountedFunnel t = make_table<CountedFunnel>(0, k);
            random_operations(t, ledger, hash, k, 6000, 3000, 50, [](const CountedFunnel& t) { expect_invariants(t); });
        }
        EXPECT_TRUE(ledger.all_released_once()) << k;
    }
}

TEST(FunnelRemove, The105thRemovalFrom144SlotsRebuildsInPlaceAndTombstonesAreReused) {
    for (bool refuse : {false, true}) {  // a refused purge is skipped and retried by the next removal
        Ledger ledger;
        {
            CountedFunnel t = filled(ledger, 126, 126);
            ASSERT_EQ(t.inspect().slot_count(), 144u);
            const std::size_t slot = *where(t, 125);
            (void)t.remove(slot);
            ASSERT_TRUE(put(t, ledger, 125).has_value());
            EXPECT_EQ(*where(t, 125), slot);  // the tombstone is reused
            EXPECT_EQ(t.inspect().tombstones(), 0u);
            for (int v = 0; v < 104; ++v) EXPECT_EQ(t.remove(*where(t, v)).key.value(), v);
            EXPECT_EQ(t.inspect().tombstones(), 104u);
            expect_invariants(t);
            if (refuse) {
                AllocationFaults::fail_after(0);
                (void)t.remove(*where(t, 104));
                AllocationFaults::disarm();
                EXPECT_EQ(t.inspect().tombstones(), 105u);
                expect_invariants(t);
            }
            auto last = t.remove(*where(t, refuse ? 105 : 104));
            EXPECT_EQ(t.inspect().tombstones(), 0u);
            EXPECT_EQ(t.inspect().slot_count(), 144u);
            EXPECT_FALSE(t.inspect().displaced());
            expect_invariants(t);
            for (int v = 0; v < 126; ++v) EXPECT_EQ(where(t, v).has_value(), v >= (refuse ? 106 : 105));
            EXPECT_EQ(ledger.times_released(last.key.id()), 0);  // removed entries are the caller's
        }
        EXPECT_TRUE(ledger.all_released_once());
    }
}

TEST(FunnelRemove, DeferredRemovalsWaitForOneCheckAboveTheThresholdOnly) {
    Ledger ledger;
    CountedFunnel t = filled(ledger, 126, 126);
    std::vector<std::size_t> before;
    for (int v = 0; v < 126; ++v) before.push_back(*where(t, v));
    for (int v = 0; v < 110; ++v) (void)t.remove_deferred(*where(t, v));
    EXPECT_EQ(t.inspect().tombstones(), 110u);
    for (int v = 110; v < 126; ++v) EXPECT_EQ(*where(t, v), before[v]);  // nothing moved
    t.finish_deferred_removals();
    EXPECT_EQ(t.inspect().tombstones(), 0u);
    expect_invariants(t);
    for (int v = 110; v < 120; ++v) (void)t.remove_deferred(*where(t, v));
    t.finish_deferred_removals();
    EXPECT_EQ(t.inspect().tombstones(), 10u);
}

TEST(FunnelClear, KeepsCapacityAndNeedsNoGrowthToRefill) {
    Ledger ledger;
    {
        CountedFunnel t = filled(ledger, 1000, 1000);
        for (int v = 0; v < 50; ++v) (void)t.remove(*where(t, v));
        const auto* block = t.inspect().block().base();
        t.clear();
        EXPECT_EQ(t.len() + t.inspect().tombstones(), 0u);
        for (auto w : t.inspect().filter_words()) EXPECT_EQ(w, 0u);
        EXPECT_EQ(ledger.released_count(), static_cast<std::size_t>(ledger.created()));
        for (int v = 0; v < 1000; ++v) ASSERT_TRUE(put(t, ledger, v + 5000).has_value());
        EXPECT_EQ(t.inspect().slot_count(), 1142u);
        EXPECT_EQ(t.inspect().block().base(), block);
        expect_invariants(t);
        CountedFunnel moved = std::move(t);  // the husk owns nothing
        CountedFunnel empty = make_table<CountedFunnel>(0);
        empty.clear();
        EXPECT_EQ(empty.inspect().slot_count(), 0u);
    }
    EXPECT_TRUE(ledger.all_released_once());
}

TEST(FunnelFailures, RefusedGrowthLeavesTheTableAsItWas) {
    for (long which : {0L, 1L}) {  // the level array, then the block
        Ledger ledger;
        {
            CountedFunnel t = filled(ledger, 126, 126);
            std::vector<std::size_t> before;
            for (int v = 0; v < 126; ++v) before.push_back(*where(t, v));
            auto unmoved = [&] {
                for (int v = 0; v < 126; ++v) EXPECT_EQ(where(t, v), before[v]);
            };
            const auto* block = t.inspect().block().base();
            const std::int64_t created = ledger.created();
            AllocationFaults::fail_after(which);
            auto r = put(t, ledger, 500);
            AllocationFaults::disarm();
            EXPECT_EQ(r.error(), TryReserveError::alloc_error());
            // The passed key and value are released, nothing else.
            EXPECT_EQ(ledger.times_released(created) + ledger.times_released(created + 1), 2);
            EXPECT_EQ(ledger.released_count(), 2u);
            EXPECT_EQ(t.inspect().block().base(), block);
            unmoved();
            expect_invariants(t);
            AllocationFaults::fail_after(which);
            EXPECT_FALSE(t.reserve(1000).has_value());
            AllocationFaults::disarm();
            unmoved();
            AllocationFaults::fail_after(0);  // replacing needs no allocation even at full capacity
            auto replaced = put(t, ledger, 3);
            AllocationFaults::disarm();
            ASSERT_TRUE(replaced.has_value() && replaced->has_value());
            ASSERT_TRUE(put(t, ledger, 500).has_value());
            EXPECT_EQ(t.inspect().slot_count(), 344u);
            expect_invariants(t);
        }
        EXPECT_TRUE(ledger.all_released_once());
    }
}

#if !defined(__SANITIZE_ADDRESS__)
TEST(FunnelFailures, ExponentTwentySevenCannotBeAllocated) {
    // 3579139460 slots of 16-byte entries is about 60 GB: the system or the block bound refuses.
    auto t = FunnelTable<IntKey, Unit>::try_with_insert_budget(1, 27, kTestSeeds);
    if (t.has_value()) GTEST_SKIP() << "this machine granted a 60 GB block";
    EXPECT_EQ(t.error(), TryBuildError::alloc_error());
}
#endif

TEST(FunnelAdversarial, ConstantHashUsesFallbackAndStaysCorrect) {
    Ledger ledger;
    {
        CountedFunnel t = make_table<CountedFunnel>(0);
        const std::uint64_t h = t.seeds().hash(7);
        auto put7 = [&](std::int64_t v) { ASSERT_TRUE(t.insert(CountedKey(ledger, v, 7), CountedValue(ledger, v), h)); };
        for (int v = 0; v < 1000; ++v) {
            put7(v);
            if (v % 50 == 0) expect_invariants(t);
        }
        EXPECT_TRUE(t.inspect().displaced());
        for (int v = 0; v < 1000; ++v) ASSERT_TRUE(where(t, v, 7).has_value()) << v;
        EXPECT_FALSE(where(t, 1000, 7).has_value());
        put7(999);  // replacing a displaced key finds it through the full scan
        EXPECT_EQ(t.len(), 1000u);
        for (int v = 0; v < 900; ++v) ASSERT_EQ(t.remove(*where(t, v, 7)).key.value(), v);  // purges use the fallback again
        expect_invariants(t);
        for (int v = 900; v < 1000; ++v) ASSERT_TRUE(where(t, v, 7).has_value()) << v;
        t.clear();  // clear drops the displaced mark
        EXPECT_FALSE(t.inspect().displaced());
        put7(1);
        EXPECT_TRUE(where(t, 1, 7).has_value());
    }
    EXPECT_TRUE(ledger.all_released_once());
}

enum class Mood { Honest, EqualToAll, EqualToNone };
Mood g_mood = Mood::Honest;

// An equality whose answers change.
class MoodyKey : public CountedKey {
public:
    MoodyKey(Ledger& ledger, std::int64_t v) : CountedKey(ledger, v, static_cast<std::intptr_t>(v % 5)) {}
    bool matches(const MoodyKey& stored) const {
        return g_mood == Mood::Honest ? value() == stored.value() : g_mood == Mood::EqualToAll;
    }
};

TEST(FunnelAdversarial, ChangingEqualityNeverLosesOrDuplicatesEntries) {
    Ledger ledger;
    {
        using Moody = FunnelTable<MoodyKey, CountedValue>;
        Moody t = make_table<Moody>(0);
        // Every unreleased object is a key or a value stored in the table, each stored key object once.
        auto conserved = [&] {
            EXPECT_EQ(static_cast<std::size_t>(ledger.created()) - ledger.released_count(), 2 * t.len());
            EXPECT_TRUE(ledger.none_released_twice());
            std::map<std::int64_t, int> ids;
            Moody::cursor_type c(t.len());
            while (auto* e = t.scan_next(c)) ++ids[e->key.id()];
            EXPECT_EQ(ids.size(), t.len());
            expect_invariants(t, /*keys_distinct=*/false);
        };
        auto put = [&](std::int64_t v) {
            MoodyKey key(ledger, v);
            const std::uint64_t h = t.seeds().hash(key.cached_hash());
            ASSERT_TRUE(t.insert(std::move(key), CountedValue(ledger, v), h).has_value());
        };
        for (int v = 0; v < 100; ++v) put(v);
        conserved();
        g_mood = Mood::EqualToNone;  // every insertion is a new key: growth with "duplicates"
        for (int v = 0; v < 400; ++v) put(v % 100);
        conserved();
        EXPECT_EQ(t.len(), 500u);
        g_mood = Mood::EqualToAll;  // insertions replace whatever matches first
        for (int v = 0; v < 300; ++v) put(1000 + v);
        conserved();
        const std::size_t before = t.len();  // rebuilds while everything compares equal keep every entry
        ASSERT_TRUE(t.reserve(t.capacity() + 1));
        EXPECT_EQ(t.len(), before);
        conserved();
        g_mood = Mood::Honest;
        for (int v = 0; v < 100; ++v)
            if (auto at = t.find(MoodyKey(ledger, v), t.seeds().hash(v % 5))) (void)t.remove(*at);
        conserved();
    }
    g_mood = Mood::Honest;
    EXPECT_TRUE(ledger.all_released_once());
}

}  // namespace
