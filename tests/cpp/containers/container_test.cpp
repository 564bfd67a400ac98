#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "../common/test_keys.hpp"
#include "common/error/panic.hpp"
#include "common/hash/table_hash.hpp"
#include "map/hash_map.hpp"
#include "set/hash_set.hpp"
#include "toy_table.hpp"

namespace {

using tavoric::common::arena::Unit;
using tavoric::common::hash::HashSeeds;
using tavoric::common::hash::table_hash;
using tavoric::map::HashMap;
using tavoric::set::HashSet;
using namespace tavoric::testing;

using CountedMap = HashMap<CountedKey, CountedValue, ToyTable<CountedKey, CountedValue>>;
using IntMap = HashMap<IntKey, int, ToyTable<IntKey, int>>;
using IntSet = HashSet<IntKey, ToyTable<IntKey, Unit>>;

static_assert(tavoric::map::TableBackend<ToyTable<IntKey, Unit>>);

constexpr HashSeeds kSeeds{0x1234, 0x9E3779B97F4A7C15ULL};

TEST(TableHash, PinnedValuesAndZeroSeeds) {
    EXPECT_EQ(table_hash(12345, 0xDEADBEEFCAFEF00DULL, 0x0123456789ABCDEFULL), 0xca013742bb56b364ULL);
    // A negative hash enters as its unsigned machine-word pattern.
    EXPECT_EQ(table_hash(-2, 0, 0x0123456789ABCDEFULL), 0x0365cfa89afc5633ULL);
    EXPECT_EQ(table_hash(-2, 0x55, 0x9E3779B97F4A7C15ULL), 0x165c142a3cf14ed0ULL);
    // Both seeds zero: every key hashes to 0.
    for (std::intptr_t h : {0L, 1L, -2L, 123456789L}) EXPECT_EQ(table_hash(h, 0, 0), 0u);
    EXPECT_NE((HashSeeds{1, 0x9E3779B97F4A7C15ULL}.hash(77)), (HashSeeds{2, 0x9E3779B97F4A7C15ULL}.hash(77)));
}

TEST(HashMapContainer, InsertReplaceKeepsStoredKeyAndReleasesTheNewOne) {
    Ledger ledger;
    {
        CountedMap map{ToyTable<CountedKey, CountedValue>(kSeeds)};
        auto first = map.insert(CountedKey(ledger, 5), CountedValue(ledger, 50));
        ASSERT_TRUE(first.has_value() && !first->has_value());
        const std::int64_t stored_id = map.get(IntKey(5))->key.id();
        CountedKey again(ledger, 5);
        const std::int64_t again_id = again.id();
        auto second = map.insert(std::move(again), CountedValue(ledger, 51));
        ASSERT_TRUE(second.has_value() && second->has_value());
        EXPECT_EQ((*second)->payload(), 50);
        EXPECT_EQ(map.len(), 1u);
        EXPECT_EQ(map.get(IntKey(5))->key.id(), stored_id);
        EXPECT_EQ(map.get(IntKey(5))->value.payload(), 51);
        // The passed key is released; the old value lives until we drop it.
        EXPECT_EQ(ledger.times_released(again_id), 1);
        const std::int64_t old_value_id = (*second)->id();
        EXPECT_EQ(ledger.times_released(old_value_id), 0);
        second->reset();
        EXPECT_EQ(ledger.times_released(old_value_id), 1);
    }
    EXPECT_TRUE(ledger.all_released_once());
}

TEST(HashMapContainer, EqualHashesRemovalAndIterationAcrossRegions) {
    Ledger ledger;
    {
        CountedMap map{ToyTable<CountedKey, CountedValue>(kSeeds)};
        for (int v = 0; v < 6; ++v) ASSERT_TRUE(map.insert(CountedKey(ledger, v, 42), CountedValue(ledger, v)));
        EXPECT_FALSE(map.contains(IntKey(6, 42)));
        EXPECT_FALSE(map.contains(IntKey(3, 43)));  // right value, other hash
        auto removed = map.remove(IntKey(3, 42));
        ASSERT_TRUE(removed.has_value());
        EXPECT_EQ(removed->payload(), 3);
        EXPECT_FALSE(map.remove(IntKey(3, 42)).has_value());
        for (int v = 0; v < 6; ++v) EXPECT_EQ(map.contains(IntKey(v, 42)), v != 3);
        EXPECT_EQ(map.table().removals(), 1);
    }
    EXPECT_TRUE(ledger.all_released_once());

    IntMap empty{ToyTable<IntKey, int>(kSeeds)};
    EXPECT_EQ(empty.iter().next(), nullptr);
    EXPECT_EQ(empty.table().advances(), 3);  // two regions, then "no more"
    IntMap map{ToyTable<IntKey, int>(kSeeds)};
    for (int v = 0; v < 20; ++v) ASSERT_TRUE(map.insert(IntKey(v * 7), v));
    std::vector<std::int64_t> seen;
    for (const auto& entry : map.iter()) seen.push_back(entry.key.value);
    std::sort(seen.begin(), seen.end());
    ASSERT_EQ(seen.size(), 20u);
    for (int v = 0; v < 20; ++v) EXPECT_EQ(seen[v], v * 7);
}

TEST(HashMapContainer, ExtractIfChecksOnceWhetherDroppedEarlyOrExhausted) {
    Ledger ledger;
    CountedMap early{ToyTable<CountedKey, CountedValue>(kSeeds)};
    for (int v = 0; v < 10; ++v) ASSERT_TRUE(early.insert(CountedKey(ledger, v), CountedValue(ledger, v)));
    {
        auto drain = early.extract_if([](const CountedKey&, CountedValue&) { return true; });
        auto first = drain.next();
        ASSERT_TRUE(first.has_value());
        EXPECT_FALSE(early.contains(IntKey(first->key.value())));
        EXPECT_EQ(early.table().finish_calls(), 0);
    }
    EXPECT_EQ(early.len(), 9u);
    EXPECT_EQ(early.table().finish_calls(), 1);

    IntMap map{ToyTable<IntKey, int>(kSeeds)};
    for (int v = 0; v < 20; ++v) ASSERT_TRUE(map.insert(IntKey(v), v * 10));
    std::size_t taken = 0;
    {
        auto drain = map.extract_if([](const IntKey& k, int& v) { return k.value % 2 == 0 && v == k.value * 10; });
        while (drain.next()) ++taken;
        EXPECT_EQ(map.table().finish_calls(), 1);
        EXPECT_FALSE(drain.next().has_value());
    }
    EXPECT_EQ(map.table().finish_calls(), 1);
    EXPECT_EQ(taken, 10u);
    for (int v = 0; v < 20; ++v) EXPECT_EQ(map.contains(IntKey(v)), v % 2 == 1);
}

TEST(HashMapContainer, RetainRunsOneCheckEvenWhenThePredicatePanics) {
    Ledger ledger;
    {
        CountedMap map{ToyTable<CountedKey, CountedValue>(kSeeds)};
        for (int v = 0; v < 12; ++v) ASSERT_TRUE(map.insert(CountedKey(ledger, v), CountedValue(ledger, v)));
        map.retain([](const CountedKey& k, CountedValue&) { return k.value() >= 6; });
        EXPECT_EQ(map.table().finish_calls(), 1);
        for (int v = 0; v < 12; ++v) EXPECT_EQ(map.contains(IntKey(v)), v >= 6);
        int calls = 0;
        EXPECT_THROW(map.retain([&](const CountedKey&, CountedValue&) {
            if (++calls == 3) tavoric::common::error::panic("predicate failed");
            return false;
        }),
                     tavoric::common::error::Panic);
        EXPECT_EQ(map.table().finish_calls(), 2);
        EXPECT_EQ(map.len(), 4u);
        EXPECT_TRUE(ledger.none_released_twice());
    }
    EXPECT_TRUE(ledger.all_released_once());
}

TEST(HashSetContainer, InsertRemoveDrainAndEqualityAcrossSeeds) {
    IntSet set{ToyTable<IntKey, Unit>(kSeeds)};
    EXPECT_EQ(set.insert(IntKey(1)), true);
    EXPECT_EQ(set.insert(IntKey(1)), false);
    EXPECT_TRUE(set.remove(IntKey(1)));
    EXPECT_FALSE(set.remove(IntKey(1)));
    for (int v = 10; v < 15; ++v) ASSERT_TRUE(set.insert(IntKey(v)));
    set.retain([](const IntKey& k) { return k.value != 12; });
    {
        auto drain = set.extract_if([](const IntKey& k) { return k.value > 10; });
        std::vector<std::int64_t> got;
        while (auto k = drain.next()) got.push_back(k->value);
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, (std::vector<std::int64_t>{11, 13, 14}));
    }
    std::vector<std::int64_t> walked;
    for (const IntKey& k : set.iter()) walked.push_back(k.value);
    EXPECT_EQ(walked, (std::vector<std::int64_t>{10}));

    IntSet a{ToyTable<IntKey, Unit>(HashSeeds{1, 0x9E3779B97F4A7C15ULL})};
    IntSet b{ToyTable<IntKey, Unit>(HashSeeds{2, 0x0123456789ABCDEFULL})};
    for (int v = 0; v < 8; ++v) ASSERT_TRUE(a.insert(IntKey(v)) && b.insert(IntKey(7 - v)));
    EXPECT_TRUE(a == b && b == a);
    ASSERT_TRUE(b.remove(IntKey(3)) && b.insert(IntKey(30)));
    EXPECT_FALSE(a == b);  // same length, other keys
    ASSERT_TRUE(b.remove(IntKey(30)));
    EXPECT_FALSE(a == b);  // lengths differ
}

}  // namespace
