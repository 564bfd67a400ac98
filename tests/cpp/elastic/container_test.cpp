// The generic map and set containers over the Elastic table.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>

#include "elastic_support.hpp"
#include "map/hash_map.hpp"
#include "map/table_backend.hpp"
#include "set/hash_set.hpp"

namespace {

using namespace tavoric::testing;
using namespace tavoric::testing::elastic_support;
using tavoric::common::arena::Unit;
using tavoric::common::hash::HashSeeds;
using CountedMap = tavoric::map::HashMap<CountedKey, CountedValue, CountedTable>;
using IntSetTable = ElasticTable<IntKey, Unit>;
using IntSet = tavoric::set::HashSet<IntKey, IntSetTable>;

static_assert(tavoric::map::TableBackend<CountedTable>);
static_assert(tavoric::map::TableBackend<IntSetTable>);
static_assert(tavoric::map::TableBackend<MapTable>);

IntKey key(std::int64_t i) { return IntKey(i, spread_hash(i)); }

TEST(ElasticContainers, MapInsertFindRemoveDrainRetainAndIterate) {
    Ledger ledger;
    {
        CountedMap m(make_table<CountedTable>(0, 3, HashSeeds::fresh()));
        for (std::int64_t i = 0; i < 500; ++i) {
            auto r = m.insert(CountedKey(ledger, i, spread_hash(i)), CountedValue(ledger, i * 10));
            ASSERT_TRUE(r.has_value() && !r->has_value());
        }
        auto replaced = m.insert(CountedKey(ledger, 5, spread_hash(5)), CountedValue(ledger, -5));
        ASSERT_TRUE(replaced.has_value() && replaced->has_value());
        EXPECT_EQ((*replaced)->payload(), 50);
        for (std::int64_t i = 0; i < 500; ++i) {
            const auto* entry = m.get(CountedKey(ledger, i, spread_hash(i)));
            ASSERT_NE(entry, nullptr) << i;
            EXPECT_EQ(entry->value.payload(), i == 5 ? -5 : i * 10);
        }
        EXPECT_FALSE(m.contains(key(7000)));
        for (std::int64_t i = 0; i < 500; i += 2) ASSERT_TRUE(m.remove(key(i)).has_value());
        EXPECT_FALSE(m.remove(key(0)).has_value());
        EXPECT_EQ(m.len(), 250u);
        ASSERT_TRUE(invariants(m.table()));
        std::set<std::int64_t> seen;
        for (const auto& entry : m.iter()) EXPECT_TRUE(seen.insert(entry.key.value()).second && entry.key.value() % 2);
        EXPECT_EQ(seen.size(), 250u);
        {
            auto drain = m.extract_if([](const CountedKey&, CountedValue&) { return true; });
            ASSERT_TRUE(drain.next().has_value());
        }  // dropped after the first item: exactly one entry fewer
        EXPECT_EQ(m.len(), 249u);
        // Draining every other key purges tombstones once at the end where a level went over its threshold.
        std::size_t drained = 0;
        {
            auto drain = m.extract_if([](const CountedKey& k, CountedValue&) { return k.value() % 4 == 1; });
            while (auto entry = drain.next()) drained += entry->key.value() % 4 == 1;
        }
        EXPECT_EQ(m.len(), 249u - drained);
        ASSERT_TRUE(invariants(m.table()));
        for (std::size_t i = 0; i < m.table().inspect().level_count(); ++i)
            EXPECT_LE(m.table().inspect().level(i).tombstones, tavoric::elastic::tombstone_threshold(m.table().inspect().level(i).len));
        const std::size_t capacity = m.capacity();
        m.retain([](const CountedKey&, CountedValue&) { return false; });
        EXPECT_EQ(m.len(), 0u);
        EXPECT_EQ(m.capacity(), capacity);
        ASSERT_TRUE(invariants(m.table()));
    }
    EXPECT_TRUE(ledger.all_released_once());
}

TEST(ElasticContainers, SetsCompareAcrossSeedsAndOrders) {
    IntSet a(make_table<IntSetTable>(0, 3, HashSeeds{1, 2}));
    IntSet b(make_table<IntSetTable>(10, 3, HashSeeds{3, 4}));
    for (std::int64_t i = 0; i < 300; ++i) ASSERT_TRUE(*a.insert(key(i)) && *b.insert(key(299 - i)));
    EXPECT_FALSE(*a.insert(key(3)));
    EXPECT_TRUE(a == b);
    EXPECT_TRUE(b.remove(key(17)));
    ASSERT_TRUE(*b.insert(key(1000)));
    EXPECT_FALSE(a == b);
    ASSERT_TRUE(invariants(a.table()));
    ASSERT_TRUE(invariants(b.table()));
    a.clear();
    EXPECT_FALSE(a.contains(key(1)));
    ASSERT_TRUE(a.reserve(1000).has_value());
    EXPECT_GE(a.capacity(), 1000u);
}

}  // namespace
