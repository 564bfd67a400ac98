#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>
#include <vector>

#include "../common/test_keys.hpp"
#include "common/error/panic.hpp"
#include "map/hash_map.hpp"
#include "common/hash/table_hash.hpp"
#include "set/hash_set.hpp"
#include "toy_table.hpp"

namespace {

using tavoric::common::arena::Unit;
using tavoric::map::HashMap;
using tavoric::common::hash::HashSeeds;
using tavoric::common::hash::table_hash;
using tavoric::set::HashSet;
using namespace tavoric::testing;

using CountedMap = HashMap<CountedKey, CountedValue, ToyTable<CountedKey, CountedValue>>;
using IntSet = HashSet<IntKey, ToyTable<IntKey, Unit>>;

static_assert(tavoric::map::TableBackend<ToyTable<IntKey, Unit>>);

constexpr HashSeeds kSeeds{0x1234, 0x9E3779B97F4A7C15ULL};

TEST(TableHash, PinnedValuesAndZeroSeeds) {
    EXPECT_EQ(table_hash(12345, 0xDEADBEEFCAFEF00DULL, 0x0123456789ABCDEFULL), 0xca013742bb56b364ULL);
    // A negative hash enters as its unsigned machine-word pattern.
    EXPECT_EQ(table_hash(-2, 0, 0x0123456789ABCDEFULL), 0x0365cfa89afc5633ULL);
    EXPECT_EQ(table_hash(-2, 0x55, 0x9E3779B97F4A7C15ULL), 0x165c142a3cf14ed0ULL);
    // Both seeds zero: every key hashes to 0, fingerprint 1.
    for (std::intptr_t h : {std::intptr_t{0}, std::intptr_t{1}, std::intptr_t{-2}, std::intptr_t{123456789}}) {
        EXPECT_EQ(table_hash(h, 0, 0), 0u);
        EXPECT_EQ(tavoric::common::arena::fingerprint_of(table_hash(h, 0, 0)), 1);
    }
    // Only the cached hash and the seeds enter.
    HashSeeds a{1, 0x9E3779B97F4A7C15ULL}, b{2, 0x9E3779B97F4A7C15ULL};
    EXPECT_EQ(a.hash(77), a.hash(77));
    EXPECT_NE(a.hash(77), b.hash(77));
}

TEST(TableHash, FoldSeedIsOnePerProcessEvenUnderRace) {
    std::vector<std::uint64_t> seen(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&seen, i] { seen[i] = tavoric::common::hash::process_fold_seed(); });
    }
    for (auto& t : threads) t.join();
    for (auto s : seen) EXPECT_EQ(s, seen[0]);
    EXPECT_EQ(tavoric::common::hash::process_fold_seed(), seen[0]);
    // Per-table seeds differ from one table to the next.
    std::set<std::uint64_t> tables;
    for (int i = 0; i < 100; ++i) tables.insert(HashSeeds::fresh().table);
    EXPECT_EQ(tables.size(), 100u);
}

TEST(HashMapContainer, InsertReplaceKeepsStoredKeyAndReleasesTheNewOne) {
    Ledger ledger;
    {
        CountedMap map{ToyTable<CountedKey, CountedValue>(kSeeds)};
        auto first = map.insert(CountedKey(ledger, 5), CountedValue(ledger, 50));
        ASSERT_TRUE(first.has_value());
        EXPECT_FALSE(first->has_value());
        const std::int64_t stored_id = map.get(IntKey(5))->key.id();

        CountedKey again(ledger, 5);
        CountedValue newer(ledger, 51);
        const std::int64_t again_id = again.id();
        auto second = map.insert(std::move(again), std::move(newer));
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

TEST(HashMapContainer, EqualHashesDifferentKeysAndRemoval) {
    Ledger ledger;
    {
        CountedMap map{ToyTable<CountedKey, CountedValue>(kSeeds)};
        for (int v = 0; v < 6; ++v) ASSERT_TRUE(map.insert(CountedKey(ledger, v, 42), CountedValue(ledger, v)));
        EXPECT_EQ(map.len(), 6u);
        for (int v = 0; v < 6; ++v) EXPECT_TRUE(map.contains(IntKey(v, 42)));
        EXPECT_FALSE(map.contains(IntKey(6, 42)));
        EXPECT_FALSE(map.contains(IntKey(3, 43)));  // right value, other hash

        auto removed = map.remove(IntKey(3, 42));
        ASSERT_TRUE(removed.has_value());
        EXPECT_EQ(removed->payload(), 3);
        EXPECT_FALSE(map.remove(IntKey(3, 42)).has_value());
        EXPECT_EQ(map.len(), 5u);
        for (int v = 0; v < 6; ++v) EXPECT_EQ(map.contains(IntKey(v, 42)), v != 3);
        EXPECT_EQ(map.table().removals(), 1);
    }
    EXPECT_TRUE(ledger.all_released_once());
}

TEST(HashMapContainer, IterationVisitsEveryEntryOnceAcrossRegions) {
    HashMap<IntKey, int, ToyTable<IntKey, int>> empty{ToyTable<IntKey, int>(kSeeds)};
    auto none = empty.iter();
    EXPECT_EQ(none.next(), nullptr);
    EXPECT_EQ(empty.table().advances(), 3);  // two regions, then "no more"

    HashMap<IntKey, int, ToyTable<IntKey, int>> map{ToyTable<IntKey, int>(kSeeds)};
    for (int v = 0; v < 20; ++v) ASSERT_TRUE(map.insert(IntKey(v * 7), v));
    std::vector<std::int64_t> seen;
    for (const auto& entry : map.iter()) seen.push_back(entry.key.value);
    ASSERT_EQ(seen.size(), 20u);
    std::sort(seen.begin(), seen.end());
    for (int v = 0; v < 20; ++v) EXPECT_EQ(seen[v], v * 7);
}

TEST(HashMapContainer, ExtractIfDroppedEarlyRemovesOneAndChecksOnce) {
    Ledger ledger;
    CountedMap map{ToyTable<CountedKey, CountedValue>(kSeeds)};
    for (int v = 0; v < 10; ++v) ASSERT_TRUE(map.insert(CountedKey(ledger, v), CountedValue(ledger, v)));
    {
        auto drain = map.extract_if([](const CountedKey&, CountedValue&) { return true; });
        auto first = drain.next();
        ASSERT_TRUE(first.has_value());
        EXPECT_FALSE(map.contains(IntKey(first->key.value())));
        EXPECT_EQ(map.table().finish_calls(), 0);
    }
    EXPECT_EQ(map.len(), 9u);
    EXPECT_EQ(map.table().finish_calls(), 1);
    EXPECT_EQ(map.table().tombstones(), 1u);
}

TEST(HashMapContainer, ExtractIfToExhaustionChecksExactlyOnce) {
    HashMap<IntKey, int, ToyTable<IntKey, int>> map{ToyTable<IntKey, int>(kSeeds)};
    for (int v = 0; v < 20; ++v) ASSERT_TRUE(map.insert(IntKey(v), v * 10));
    std::vector<int> taken;
    {
        auto drain = map.extract_if([](const IntKey& k, int& v) { return k.value % 2 == 0 && v == k.value * 10; });
        while (auto entry = drain.next()) taken.push_back(static_cast<int>(entry->key.value));
        EXPECT_EQ(map.table().finish_calls(), 1);
        EXPECT_FALSE(drain.next().has_value());
    }
    EXPECT_EQ(map.table().finish_calls(), 1);
    EXPECT_EQ(taken.size(), 10u);
    EXPECT_EQ(map.len(), 10u);
    for (int v = 0; v < 20; ++v) EXPECT_EQ(map.contains(IntKey(v)), v % 2 == 1);
}

TEST(HashMapContainer, RetainRunsOneCheckEvenWhenThePredicatePanics) {
    Ledger ledger;
    {
        CountedMap map{ToyTable<CountedKey, CountedValue>(kSeeds)};
        for (int v = 0; v < 12; ++v) ASSERT_TRUE(map.insert(CountedKey(ledger, v), CountedValue(ledger, v)));
        map.retain([](const CountedKey& k, CountedValue&) { return k.value() >= 6; });
        EXPECT_EQ(map.len(), 6u);
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

        map.retain([](const CountedKey&, CountedValue&) { return false; });
        EXPECT_EQ(map.len(), 0u);
        EXPECT_EQ(map.capacity(), 20u);
    }
    EXPECT_TRUE(ledger.all_released_once());
}

TEST(HashSetContainer, InsertRemoveAndDrain) {
    IntSet set{ToyTable<IntKey, Unit>(kSeeds)};
    EXPECT_EQ(set.insert(IntKey(1)), true);
    EXPECT_EQ(set.insert(IntKey(1)), false);
    EXPECT_EQ(set.insert(IntKey(2)), true);
    EXPECT_TRUE(set.contains(IntKey(2)));
    EXPECT_TRUE(set.remove(IntKey(2)));
    EXPECT_FALSE(set.remove(IntKey(2)));
    for (int v = 10; v < 15; ++v) ASSERT_TRUE(set.insert(IntKey(v)));
    set.retain([](const IntKey& k) { return k.value != 12; });
    EXPECT_EQ(set.len(), 5u);
    {
        auto drain = set.extract_if([](const IntKey& k) { return k.value > 10; });
        std::vector<std::int64_t> got;
        while (auto k = drain.next()) got.push_back(k->value);
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, (std::vector<std::int64_t>{11, 13, 14}));
    }
    EXPECT_EQ(set.len(), 2u);
    EXPECT_TRUE(set.contains(IntKey(1)) && set.contains(IntKey(10)));
    std::vector<std::int64_t> walked;
    for (const IntKey& k : set.iter()) walked.push_back(k.value);
    std::sort(walked.begin(), walked.end());
    EXPECT_EQ(walked, (std::vector<std::int64_t>{1, 10}));
}

TEST(HashSetContainer, EqualityIgnoresOrderAndSeeds) {
    IntSet a{ToyTable<IntKey, Unit>(HashSeeds{1, 0x9E3779B97F4A7C15ULL})};
    IntSet b{ToyTable<IntKey, Unit>(HashSeeds{2, 0x0123456789ABCDEFULL})};
    for (int v = 0; v < 8; ++v) ASSERT_TRUE(a.insert(IntKey(v)));
    for (int v = 7; v >= 0; --v) ASSERT_TRUE(b.insert(IntKey(v)));
    EXPECT_TRUE(a == b);
    EXPECT_TRUE(b == a);
    ASSERT_TRUE(b.remove(IntKey(3)));
    ASSERT_TRUE(b.insert(IntKey(30)));
    EXPECT_EQ(a.len(), b.len());
    EXPECT_FALSE(a == b);
    ASSERT_TRUE(b.remove(IntKey(30)));
    EXPECT_FALSE(a == b);  // lengths differ
}

}  // namespace
