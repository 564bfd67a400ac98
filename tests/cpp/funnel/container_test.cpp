// The generic map and set containers over the Funnel table.
#include <gtest/gtest.h>

#include "funnel_support.hpp"
#include "map/hash_map.hpp"
#include "set/hash_set.hpp"

namespace {

using namespace tavoric::funnel;
using namespace tavoric::testing;
using tavoric::common::hash::HashSeeds;
using SetTable = FunnelTable<IntKey, Unit>;
using FunnelSet = tavoric::set::HashSet<IntKey, SetTable>;

static_assert(tavoric::map::TableBackend<FunnelTable<IntKey, int>>);
static_assert(tavoric::map::TableBackend<CountedFunnel>);
static_assert(tavoric::map::TableBackend<SetTable>);

TEST(FunnelContainers, MapDrainAndRetain) {
    Ledger ledger;
    {
        CountedFunnel t = make_table<CountedFunnel>(126);
        for (int v = 0; v < 126; ++v) ASSERT_TRUE(put(t, ledger, v).has_value());
        tavoric::map::HashMap<CountedKey, CountedValue, CountedFunnel> map(std::move(t));
        std::size_t drained = 0;
        {
            auto drain = map.extract_if([](const CountedKey& k, CountedValue&) { return k.value() % 8 != 0; });
            while (auto e = drain.next()) ASSERT_EQ(map.len() + ++drained, 126u);
        }
        EXPECT_EQ(drained, 126u - 16u);
        EXPECT_EQ(map.table().inspect().tombstones(), 0u);  // 110 > 104: purged once at the end
        map.retain([](const CountedKey& k, CountedValue&) { return k.value() < 64; });
        EXPECT_EQ(map.table().inspect().tombstones(), 8u);
        expect_invariants(map.table());
        for (int v = 0; v < 126; ++v) EXPECT_EQ(map.contains(IntKey(v)), v % 8 == 0 && v < 64);
    }
    EXPECT_TRUE(ledger.all_released_once());
}

TEST(FunnelContainers, EqualityAcrossSeedsAndOrders) {
    FunnelSet a(make_table<SetTable>(0, 3, HashSeeds::fresh())), b(make_table<SetTable>(500, 3, HashSeeds::fresh()));
    for (int v = 0; v < 400; ++v) ASSERT_TRUE(*a.insert(IntKey(v)) && *b.insert(IntKey(399 - v)));
    EXPECT_EQ(a.insert(IntKey(5)), false);
    EXPECT_TRUE(a == b);
    ASSERT_TRUE(b.remove(IntKey(77)));
    ASSERT_EQ(b.insert(IntKey(1000)), true);
    EXPECT_FALSE(a == b);
}

TEST(FunnelContainers, BothSeedsZeroMakeEveryKeyCollide) {
    // Table hash 0 for every key: one probe path, fingerprint 1, fallback placement beyond the path.
    FunnelSet s(make_table<SetTable>(0, 3, HashSeeds{0, 0}));
    for (int v = 0; v < 600; ++v) ASSERT_EQ(s.insert(IntKey(v * 7919)), true);
    EXPECT_TRUE(s.table().inspect().displaced());
    for (int v = 0; v < 600; ++v) EXPECT_TRUE(s.contains(IntKey(v * 7919)));
    EXPECT_FALSE(s.contains(IntKey(1)));
    for (std::uint8_t c : s.table().inspect().control_bytes()) EXPECT_TRUE(c == 0 || c == 1);
    expect_invariants(s.table());
}

}  // namespace
