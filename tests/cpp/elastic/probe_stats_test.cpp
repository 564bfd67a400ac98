// Probe statistics of full tables: how many slots a lookup examines when the
// table is filled to its insert limit (fill 1 - delta), for k = 1 to 10.
// Elastic hashing promises successful lookups in O(1) amortised probes and
// O(log 1/delta) in the worst case; the bounds below hold with a wide margin
// for these sizes, and catch a schedule or lane bug that makes lookups walk
// far more routes than they should.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#include "elastic_support.hpp"

namespace {

using namespace tavoric::testing::elastic_support;
using tavoric::testing::IntKey;

using MapTable = ElasticTable<IntKey, std::uintptr_t>;

// Slots a lookup examines for a key stored at `home` (1 = primary slot):
// the walk of the schedule restricted to the key's level lanes.
std::size_t probes_to(const MapTable& t, std::uint64_t h, ElasticLocation home) {
    const auto p = probe::elastic_prepare(h);
    if (home.level == 0 && probe::elastic_probe_slot(p.prepared, 0, t.level(0).len) == home.slot) return 1;
    const auto& group = t.membership()[tavoric::common::hash::multiply_high(p.prepared, t.membership_groups())];
    const std::uint32_t lanes = t.level_count() <= 16 ? group.lanes[p.prepared & 3] : ~std::uint32_t{0};
    std::size_t probes = 1;
    for (const auto& route : t.schedule()) {
        const std::uint32_t level = probe::elastic_selector_level(route.selector);
        if (((lanes >> level) & 1u) == 0) continue;
        ++probes;
        if (level == home.level && probe::elastic_probe_slot(p.prepared, route.selector, route.key) == home.slot)
            return probes;
    }
    return 0;  // not on the schedule: placed exceptionally
}

// Whether the membership filter lets an absent key through to the walk.
bool passes_filter(const MapTable& t, std::uint64_t h) {
    const auto p = probe::elastic_prepare(h);
    const auto& group = t.membership()[tavoric::common::hash::multiply_high(p.prepared, t.membership_groups())];
    return (group.bloom & p.membership) == p.membership;
}

TEST(ElasticProbeStatistics, FullTablesStayShallow) {
    const std::size_t slots = std::size_t{1} << 14;
    for (std::uint32_t k = 1; k <= 10; ++k) {
        const std::size_t limit = tavoric::elastic::elastic_usable(slots, k);
        auto t = MapTable::with_capacity_and_reserve_and_hasher_in(limit, k, kIdentitySeeds);
        ASSERT_EQ(t.slots(), slots);
        for (std::size_t i = 0; i < limit; ++i) ASSERT_TRUE(put(t, std::int64_t(i)).has_value());
        ASSERT_EQ(t.slots(), slots) << "filled to the limit without growing";
        ASSERT_TRUE(invariants(t));
        std::size_t total = 0, worst = 0;
        for (std::size_t i = 0; i < limit; ++i) {
            IntKey key(static_cast<std::int64_t>(i), spread_hash(static_cast<std::int64_t>(i)));
            const auto h = t.seeds().hash(key.cached_hash());
            const std::size_t n = probes_to(t, h, *t.find(key, h));
            ASSERT_GT(n, 0u) << "key off the schedule in a table without exceptional entries";
            total += n;
            worst = std::max(worst, n);
        }
        const double mean = static_cast<double>(total) / static_cast<double>(limit);
        const std::size_t misses = 20000;
        std::size_t passed_count = 0;
        for (std::size_t i = 0; i < misses; ++i) {
            const auto id = static_cast<std::int64_t>(i + 10'000'000);
            IntKey key(id, spread_hash(id));
            const auto h = t.seeds().hash(key.cached_hash());
            ASSERT_FALSE(t.find(key, h).has_value());
            passed_count += passes_filter(t, h) ? 1 : 0;
        }
        const double pass_rate = static_cast<double>(passed_count) / static_cast<double>(misses);
        // Successful lookups grow about linearly in k = log2(1/delta).
        EXPECT_LT(mean, 2.0 + 1.5 * k) << "k " << k;
        EXPECT_LT(worst, 50u * (k + 1)) << "k " << k;
        // The filter turns most misses away after one word.
        EXPECT_LT(pass_rate, 0.25) << "k " << k;
    }
}

}  // namespace
