// The generic map and set containers over the Elastic table.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <set>
#include <vector>

#include "elastic_support.hpp"
#include "map/hash_map.hpp"
#include "map/table_backend.hpp"
#include "set/hash_set.hpp"

namespace {

using namespace tavoric::testing::elastic_support;
using tavoric::common::arena::Unit;
using tavoric::testing::CountedKey;
using tavoric::testing::CountedValue;
using tavoric::testing::IntKey;
using tavoric::testing::Ledger;

using CountedTable = ElasticTable<CountedKey, CountedValue>;
using CountedMap = tavoric::map::HashMap<CountedKey, CountedValue, CountedTable>;
using IntSetTable = ElasticTable<IntKey, Unit>;
using IntSet = tavoric::set::HashSet<IntKey, IntSetTable>;

static_assert(tavoric::map::TableBackend<CountedTable>);
static_assert(tavoric::map::TableBackend<IntSetTable>);
static_assert(tavoric::map::TableBackend<ElasticTable<IntKey, std::uintptr_t>>);

CountedMap make_map(std::size_t capacity = 0, tavoric::common::hash::HashSeeds seeds = tavoric::common::hash::HashSeeds::fresh()) {
    return CountedMap(CountedTable::with_capacity_and_reserve_and_hasher_in(capacity, 3, seeds));
}

TEST(ElasticContainers, MapInsertFindRemoveIterate) {
    Ledger ledger;
    {
        auto m = make_map();
        for (std::int64_t i = 0; i < 500; ++i) {
            auto r = m.insert(CountedKey(ledger, i, spread_hash(i)), CountedValue(ledger, i * 10));
            ASSERT_TRUE(r.has_value());
            ASSERT_FALSE(r->has_value());
        }
        EXPECT_EQ(m.len(), 500u);
        ASSERT_TRUE(invariants(m.table()));
        auto replaced = m.insert(CountedKey(ledger, 5, spread_hash(5)), CountedValue(ledger, -5));
        ASSERT_TRUE(replaced.has_value() && replaced->has_value());
        EXPECT_EQ((*replaced)->payload(), 50);
        EXPECT_EQ(m.len(), 500u);

        for (std::int64_t i = 0; i < 500; ++i) {
            CountedKey probe(ledger, i, spread_hash(i));
            const auto* entry = m.get(probe);
            ASSERT_NE(entry, nullptr) << i;
            EXPECT_EQ(entry->value.payload(), i == 5 ? -5 : i * 10);
        }
        // Lookups with a plain probe type.
        EXPECT_TRUE(m.contains(IntKey(7, spread_hash(7))));
        EXPECT_FALSE(m.contains(IntKey(7000, spread_hash(7000))));

        for (std::int64_t i = 0; i < 500; i += 2) {
            auto v = m.remove(IntKey(i, spread_hash(i)));
            ASSERT_TRUE(v.has_value());
        }
        EXPECT_FALSE(m.remove(IntKey(0, spread_hash(0))).has_value());
        EXPECT_EQ(m.len(), 250u);
        ASSERT_TRUE(invariants(m.table()));

        // Iteration: every remaining key once, in table order.
        std::set<std::int64_t> seen;
        for (const auto& entry : m.iter()) {
            EXPECT_TRUE(seen.insert(entry.key.value()).second);
            EXPECT_EQ(entry.key.value() % 2, 1);
        }
        EXPECT_EQ(seen.size(), 250u);
    }
    EXPECT_TRUE(ledger.all_released_once());
}

TEST(ElasticContainers, ExtractIfAndRetain) {
    Ledger ledger;
    {
        auto m = make_map(0, kIdentitySeeds);
        for (std::int64_t i = 0; i < 200; ++i)
            ASSERT_TRUE(m.insert(CountedKey(ledger, i, spread_hash(i)), CountedValue(ledger, i)).has_value());
        // Dropped after the first item: exactly one entry fewer.
        {
            auto drain = m.extract_if([](const CountedKey&, CountedValue&) { return true; });
            auto first = drain.next();
            ASSERT_TRUE(first.has_value());
        }
        EXPECT_EQ(m.len(), 199u);
        ASSERT_TRUE(invariants(m.table()));
        // Draining the odd keys leaves the even ones; the tombstones are
        // purged once at the end if a level went over its threshold.
        std::size_t drained = 0;
        {
            auto drain = m.extract_if([](const CountedKey& k, CountedValue&) { return k.value() % 2 == 1; });
            while (auto entry = drain.next()) {
                EXPECT_EQ(entry->key.value() % 2, 1);
                ++drained;
            }
        }
        EXPECT_EQ(m.len(), 199u - drained);
        ASSERT_TRUE(invariants(m.table()));
        for (std::size_t i = 0; i < m.table().level_count(); ++i)
            EXPECT_LE(m.table().level(i).tombstones, tavoric::elastic::tombstone_threshold(m.table().level(i).len));
        const std::size_t capacity = m.capacity();
        m.retain([](const CountedKey&, CountedValue&) { return false; });
        EXPECT_EQ(m.len(), 0u);
        EXPECT_EQ(m.capacity(), capacity);
        ASSERT_TRUE(invariants(m.table()));
    }
    EXPECT_TRUE(ledger.all_released_once());
}

TEST(ElasticContainers, SetsCompareAcrossSeedsAndOrders) {
    IntSet a(IntSetTable::with_capacity_and_reserve_and_hasher_in(0, 3, tavoric::common::hash::HashSeeds{1, 2}));
    IntSet b(IntSetTable::with_capacity_and_reserve_and_hasher_in(10, 3, tavoric::common::hash::HashSeeds{3, 4}));
    for (std::int64_t i = 0; i < 300; ++i) ASSERT_TRUE(*a.insert(IntKey(i, spread_hash(i))));
    for (std::int64_t i = 299; i >= 0; --i) ASSERT_TRUE(*b.insert(IntKey(i, spread_hash(i))));
    EXPECT_FALSE(*a.insert(IntKey(3, spread_hash(3))));
    EXPECT_TRUE(a == b);
    EXPECT_TRUE(b.remove(IntKey(17, spread_hash(17))));
    ASSERT_TRUE(*b.insert(IntKey(1000, spread_hash(1000))));
    EXPECT_FALSE(a == b);
    ASSERT_TRUE(invariants(a.table()));
    ASSERT_TRUE(invariants(b.table()));
    a.clear();
    EXPECT_EQ(a.len(), 0u);
    EXPECT_FALSE(a.contains(IntKey(1, spread_hash(1))));
    ASSERT_TRUE(a.reserve(1000).has_value());
    EXPECT_GE(a.capacity(), 1000u);
}

}  // namespace
