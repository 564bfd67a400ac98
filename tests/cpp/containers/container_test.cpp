#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "../common/test_keys.hpp"
#include "common/error/panic.hpp"
#include "map/hash_map.hpp"
#include "set/hash_set.hpp"
#include "toy_table.hpp"

namespace {

using tavoric::common::arena::Unit;
using tavoric::common::hash::HashSeeds;
using tavoric::common::hash::table_hash;
using namespace tavoric::testing;
using CountedMap = tavoric::map::HashMap<CountedKey, CountedValue, ToyTable<CountedKey, CountedValue>>;
using IntSet = tavoric::set::HashSet<IntKey, ToyTable<IntKey, Unit>>;
static_assert(tavoric::map::TableBackend<ToyTable<IntKey, Unit>>);

constexpr HashSeeds kSeeds{0x1234, 0x9E3779B97F4A7C15ULL};
using Values = std::vector<std::int64_t>;

TEST(TableHash, PinnedValuesAndZeroSeeds) {
    EXPECT_EQ(table_hash(12345, 0xDEADBEEFCAFEF00DULL, 0x0123456789ABCDEFULL), 0xca013742bb56b364ULL);
    // A negative hash enters as its unsigned machine-word pattern.
    EXPECT_EQ(table_hash(-2, 0, 0x0123456789ABCDEFULL), 0x0365cfa89afc5633ULL);
    EXPECT_EQ(table_hash(-2, 0x55, 0x9E3779B97F4A7C15ULL), 0x165c142a3cf14ed0ULL);
    for (std::intptr_t h : {0L, 1L, -2L, 123456789L}) EXPECT_EQ(table_hash(h, 0, 0), 0u);
    EXPECT_NE((HashSeeds{1, 0x9E3779B97F4A7C15ULL}.hash(77)), (HashSeeds{2, 0x9E3779B97F4A7C15ULL}.hash(77)));
}

TEST(HashMapContainer, InsertGetRemoveAndIterate) {
    Ledger ledger;
    {
        CountedMap map{ToyTable<CountedKey, CountedValue>(kSeeds)};
        for (int v = 0; v < 6; ++v) ASSERT_TRUE(map.insert(CountedKey(ledger, v, 42), CountedValue(ledger, v)));
        // Replacing keeps the stored key, releases the passed one and hands back the old value.
        const std::int64_t stored_id = map.get(IntKey(5, 42))->key.id();
        CountedKey again(ledger, 5, 42);
        const std::int64_t again_id = again.id();
        auto old = map.insert(std::move(again), CountedValue(ledger, 51));
        ASSERT_TRUE(old.has_value() && old->has_value());
        EXPECT_EQ((*old)->payload(), 5);
        EXPECT_EQ(ledger.times_released(again_id), 1);
        EXPECT_EQ(ledger.times_released((*old)->id()), 0);
        EXPECT_EQ(map.get(IntKey(5, 42))->key.id(), stored_id);
        EXPECT_EQ(map.get(IntKey(5, 42))->value.payload(), 51);
        EXPECT_EQ(map.len(), 6u);
        EXPECT_FALSE(map.contains(IntKey(6, 42)));
        EXPECT_FALSE(map.contains(IntKey(3, 43)));  // right value, other hash
        EXPECT_EQ(map.remove(IntKey(3, 42))->payload(), 3);
        EXPECT_FALSE(map.remove(IntKey(3, 42)).has_value());
        EXPECT_EQ(map.table().removals(), 1);
        for (int v = 7; v < 20; ++v) ASSERT_TRUE(map.insert(CountedKey(ledger, v * 7), CountedValue(ledger, v)));
        Values seen;
        for (const auto& entry : map.iter()) seen.push_back(entry.key.value());
        std::sort(seen.begin(), seen.end());
        EXPECT_EQ(seen, (Values{0, 1, 2, 4, 5, 49, 56, 63, 70, 77, 84, 91, 98, 105, 112, 119, 126, 133}));
    }
    EXPECT_TRUE(ledger.all_released_once());
}

TEST(HashMapContainer, ExtractIfAndRetainRunOneCheckWhetherDroppedExhaustedOrInterrupted) {
    Ledger ledger;
    {
        CountedMap map{ToyTable<CountedKey, CountedValue>(kSeeds)};
        for (int v = 0; v < 20; ++v) ASSERT_TRUE(map.insert(CountedKey(ledger, v), CountedValue(ledger, v * 10)));
        {
            auto drain = map.extract_if([](const CountedKey&, CountedValue&) { return true; });
            auto first = drain.next();
            ASSERT_TRUE(first.has_value());
            EXPECT_FALSE(map.contains(IntKey(first->key.value())));
            EXPECT_EQ(map.table().finish_calls(), 0);
        }
        EXPECT_EQ(map.len(), 19u);
        EXPECT_EQ(map.table().finish_calls(), 1);
        std::size_t taken = 0;
        {
            auto drain = map.extract_if([](const CountedKey& k, CountedValue& v) { return k.value() % 2 == 0 && v.payload() == k.value() * 10; });
            while (drain.next()) ++taken;
            EXPECT_EQ(map.table().finish_calls(), 2);
            EXPECT_FALSE(drain.next().has_value());
        }
        EXPECT_EQ(map.table().finish_calls(), 2);
        EXPECT_EQ(taken, 9u);
        map.retain([](const CountedKey& k, CountedValue&) { return k.value() >= 10; });
        EXPECT_EQ(map.table().finish_calls(), 3);
        for (int v = 0; v < 20; ++v) EXPECT_EQ(map.contains(IntKey(v)), v >= 10 && v % 2 == 1);
        int calls = 0;
        EXPECT_THROW(map.retain([&](const CountedKey&, CountedValue&) {
            if (++calls == 3) tavoric::common::error::panic("predicate failed");
            return false;
        }),
                     tavoric::common::error::Panic);
        EXPECT_EQ(map.table().finish_calls(), 4);
        EXPECT_EQ(map.len(), 3u);
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
        Values got;
        while (auto k = drain.next()) got.push_back(k->value);
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, (Values{11, 13, 14}));
    }
    Values walked;
    for (const IntKey& k : set.iter()) walked.push_back(k.value);
    EXPECT_EQ(walked, (Values{10}));

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
