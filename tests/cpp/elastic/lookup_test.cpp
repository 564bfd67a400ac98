#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "elastic_support.hpp"

namespace {

using namespace tavoric::testing;
using namespace tavoric::testing::elastic_support;
using tavoric::common::hash::multiply_high;

template <class T>
const auto& group_of(const T& t, const probe::ElasticPreparedKey& p) {
    return t.inspect().membership()[multiply_high(p.prepared, t.inspect().membership_groups())];
}

TEST(ElasticLookup, PrimarySlotThenTheFirstScheduledRoute) {
    auto t = map_table(7);
    IntKey key(1, 0), other(2, 0);  // table hash 0: primary slot 1 of level 0
    ASSERT_TRUE(t.insert(key, 10, 0).has_value());
    // The primary pair (phi 13) is never a route: the bound moves, the schedule stays empty.
    EXPECT_EQ(t.inspect().schedule().size(), 0u);
    EXPECT_EQ(t.inspect().schedule().bound(), 13u);
    EXPECT_EQ(*t.find(key, 0), (ElasticLocation{0, 1}));
    EXPECT_FALSE(t.find(other, 0).has_value());
    // The second key of that hash goes deeper: probe (0, 1) is slot 3, phi 57.
    ASSERT_TRUE(t.insert(other, 20, 0).has_value());
    EXPECT_EQ(*t.find(other, 0), (ElasticLocation{0, 3}));
    EXPECT_EQ(t.inspect().schedule().bound(), 57u);
    EXPECT_EQ(t.inspect().schedule().size(), 3u);
    ASSERT_TRUE(invariants(t));
}

// Probe keys equal to a stored key but with another hash of the same
// fingerprint, whose walk would reach the stored slot: with the key's bits in
// the bloom word the walk finds it; without them the lookup stops early.
TEST(ElasticLookup, KeyWithoutMembershipBitsIsAbsentAfterThePrimaryCheck) {
    auto t = map_table(7);
    for (std::int64_t i = 0; i < 7; ++i) ASSERT_TRUE(put(t, i).has_value());
    ASSERT_GT(t.inspect().schedule().size(), 0u);
    ASSERT_FALSE(t.inspect().schedule().exceptional());
    const auto& group = t.inspect().membership()[0];
    int hidden = 0, walked = 0;
    for (std::int64_t i = 0; i < 7 && (hidden == 0 || walked == 0); ++i) {
        IntKey stored(i, spread_hash(i));
        const auto home = *t.find(stored, hash_in(t, stored));
        const std::uint64_t top = hash_in(t, stored) & (std::uint64_t{0x7F} << 57);
        for (std::uint64_t low = 1; low < 200000 && (hidden == 0 || walked == 0); ++low) {
            const std::uint64_t h = top | (probe::splitmix64_finalize(low) >> 7);
            const auto p = probe::elastic_prepare(h);
            if (probe::elastic_probe_slot(p.prepared, 0, t.inspect().level(0).len) == home.slot && home.level == 0) continue;
            if (((group.lanes[p.prepared & 3] >> home.level) & 1u) == 0) continue;
            bool reaches = false;
            for (const auto& route : t.inspect().schedule())
                reaches = reaches || (probe::elastic_selector_level(route.selector) == home.level &&
                                      probe::elastic_probe_slot(p.prepared, route.selector, route.key) == home.slot);
            if (!reaches) continue;
            const bool filtered_out = (group.bloom & p.membership) != p.membership;
            EXPECT_EQ(t.find(IntKey(i, static_cast<std::intptr_t>(h)), h).has_value(), !filtered_out);
            ++(filtered_out ? hidden : walked);
        }
    }
    EXPECT_GT(hidden, 0);
    EXPECT_GT(walked, 0);
}

// More than 16 levels (more than 65536 slots): no lanes are kept and every route is probed.
TEST(ElasticLookup, NoLanesAboveSixteenLevels) {
    auto big = map_table(100000);
    ASSERT_EQ(big.inspect().slots(), 131072u);
    ASSERT_EQ(big.inspect().level_count(), 17u);
    for (std::int64_t i = 0; i < 3000; ++i) ASSERT_TRUE(put(big, i, std::uintptr_t(i)).has_value());
    ASSERT_TRUE(invariants(big));  // includes "no lane bit set anywhere"
    for (std::int64_t i = 0; i < 3000; ++i) {
        ASSERT_TRUE(where(big, i).has_value()) << i;
        ASSERT_FALSE(where(big, i + 1'000'000).has_value());
    }
    auto lanes = map_table(50000);  // sixteen levels still record lanes
    ASSERT_EQ(lanes.inspect().level_count(), 16u);
    ASSERT_TRUE(put(lanes, 1).has_value());
    const auto p = probe::elastic_prepare(hash_in(lanes, IntKey(1, spread_hash(1))));
    EXPECT_EQ(group_of(lanes, p).lanes[p.prepared & 3], 1u);
}

// Every key shares one probe sequence when both seeds are 0. A 512-slot level
// offers such a key at most 383 usable probes, fewer than batch 0's 384
// placements, so a key ends up placed exceptionally and is still found. When
// the same-size rebuild cannot get memory the key goes straight to the
// exceptional slot instead of failing.
TEST(ElasticExceptional, ConstantHashForcesExceptionalPlacement) {
    for (bool refuse : {false, true}) {
        auto t = map_table(1000, 6, kConstantSeeds);
        ASSERT_EQ(t.inspect().slots(), 1024u);
        bool seen_exceptional = false;
        for (std::int64_t i = 0; i < 520; ++i) {
            if (refuse) AllocationFaults::fail_after(0);
            auto r = t.insert(IntKey(i, spread_hash(i)), std::uintptr_t(i), 0);
            AllocationFaults::disarm();
            ASSERT_TRUE(r.has_value()) << i;
            seen_exceptional = seen_exceptional || t.inspect().schedule().exceptional();
            ASSERT_TRUE(t.find(IntKey(i, 0), 0).has_value()) << i;
            if (i % 64 == 0) {
                ASSERT_TRUE(invariants(t)) << i;
            }
        }
        EXPECT_TRUE(seen_exceptional);
        ASSERT_TRUE(invariants(t));
        for (std::int64_t i = 0; i < 520; ++i) ASSERT_EQ(t.entry_at(*t.find(IntKey(i, 0), 0)).value, std::uintptr_t(i));
        EXPECT_FALSE(t.find(IntKey(5000, 0), 0).has_value());
    }
    auto t = map_table(1000, 6, kConstantSeeds);  // the table keeps accepting keys, through growth too
    for (std::int64_t i = 0; i < 1100; ++i) ASSERT_TRUE(t.insert(IntKey(i, 0), std::uintptr_t(i), 0).has_value());
    EXPECT_EQ(t.inspect().slots(), 2048u);
    ASSERT_TRUE(invariants(t));
    for (std::int64_t i = 0; i < 1100; ++i) ASSERT_TRUE(t.find(IntKey(i, 0), 0).has_value()) << i;
}

// Matches every stored key whose value is at least `from`.
struct AtLeast {
    std::int64_t from;
    std::intptr_t hash;
    std::intptr_t cached_hash() const noexcept { return hash; }
    bool matches(const IntKey& stored) const { return stored.value >= from && stored.value < 1000; }
};

// The reference: primary slot, then every route of the schedule in order, no filter.
template <class Q>
std::optional<ElasticLocation> plain_walk(const MapTable& t, const Q& key) {
    const auto p = probe::elastic_prepare(t.seeds().hash(key.cached_hash()));
    auto matches = [&](std::size_t l, std::size_t s) {
        return t.inspect().level(l).ctrl[s] == p.fingerprint && key.matches(t.inspect().level(l).entries[s].key);
    };
    const auto p0 = probe::elastic_probe_slot(p.prepared, probe::elastic_selector(0, 0), t.inspect().level(0).len);
    if (matches(0, p0)) return ElasticLocation{0, p0};
    for (const auto& route : t.inspect().schedule()) {
        const std::uint32_t l = probe::elastic_selector_level(route.selector);
        const auto slot = probe::elastic_probe_slot(p.prepared, route.selector, route.key);
        if (matches(l, slot)) return ElasticLocation{l, slot};
    }
    return std::nullopt;
}

TEST(ElasticLookupWalk, LevelRouteCountsDescribeTheSchedule) {
    auto t = map_table(3000, 4);
    for (std::int64_t i = 0; t.len() < t.capacity(); ++i) ASSERT_TRUE(put(t, i).has_value());
    std::vector<std::uint32_t> seen(32, 0);
    for (const auto& route : t.inspect().schedule()) {
        const std::uint32_t l = probe::elastic_selector_level(route.selector);
        EXPECT_EQ((route.selector & 0xFFFFu) >> 3, t.inspect().schedule().first_probe(l) + seen[l]++);
    }
    for (std::uint32_t l = 0; l < 32; ++l) EXPECT_EQ(t.inspect().schedule().level_routes(l), seen[l]) << "level " << l;
}

TEST(ElasticLookupWalk, FindsWhatThePlainWalkFinds) {
    std::mt19937_64 rng(7);
    for (std::uint32_t k : {1u, 3u, 6u}) {
        for (std::size_t capacity : {50u, 900u, 20000u}) {
            auto t = map_table(capacity, k, tavoric::common::hash::HashSeeds{rng(), rng() | 1});
            std::vector<IntKey> keys;
            while (t.len() < t.capacity()) {
                IntKey key(static_cast<std::int64_t>(keys.size()), static_cast<std::intptr_t>(rng()));
                ASSERT_TRUE(t.insert(key, 1, hash_in(t, key)).has_value());
                keys.push_back(key);
            }
            for (const IntKey& key : keys) {
                auto found = t.find(key, hash_in(t, key));
                ASSERT_TRUE(found.has_value());
                EXPECT_EQ(found, plain_walk(t, key));
            }
            for (int i = 0; i < 2000; ++i) {
                IntKey absent(-1 - i, static_cast<std::intptr_t>(rng()));
                EXPECT_FALSE(t.find(absent, hash_in(t, absent)).has_value());
            }
        }
    }
}

// Keys with one hash share every probe; a probe matching several of them
// must get the first on the walk.
TEST(ElasticLookupWalk, FirstMatchAmongKeysOfOneProbeSequence) {
    for (int count : {6, 12, 24}) {
        auto t = map_table(4000);
        const std::intptr_t hash = spread_hash(99);
        for (std::int64_t i = 0; i < 3000; ++i) ASSERT_TRUE(t.insert(IntKey(i + 1000, spread_hash(i)), 1, spread_hash(i)));
        for (std::int64_t v = 0; v < count; ++v) ASSERT_TRUE(t.insert(IntKey(v, hash), 1, hash).has_value());
        for (std::int64_t from = 0; from < count; ++from) {
            AtLeast key{from, hash};
            auto found = t.find(key, t.seeds().hash(hash));
            ASSERT_TRUE(found.has_value());
            EXPECT_EQ(found, plain_walk(t, key)) << "count " << count << " from " << from;
        }
    }
}

// Tables filled to their insert limit (fill 1 - delta), k = 1 to 10: lookups
// stay shallow (O(1) amortised, O(log 1/delta) worst case, with a wide
// margin), which catches a schedule or lane bug that walks far too many routes.
TEST(ElasticProbeStatistics, FullTablesStayShallow) {
    const std::size_t slots = std::size_t{1} << 14;
    for (std::uint32_t k = 1; k <= 10; ++k) {
        const std::size_t limit = tavoric::common::arena::insert_budget_for(slots, k);
        auto t = map_table(limit, k);
        for (std::size_t i = 0; i < limit; ++i) ASSERT_TRUE(put(t, std::int64_t(i)).has_value());
        ASSERT_EQ(t.inspect().slots(), slots) << "filled to the limit without growing";
        ASSERT_TRUE(invariants(t));
        std::size_t total = 0, worst = 0, passed = 0;
        for (std::size_t i = 0; i < limit; ++i) {
            const auto h = hash_in(t, IntKey(std::int64_t(i), spread_hash(std::int64_t(i))));
            const auto home = *where(t, std::int64_t(i));
            const auto p = probe::elastic_prepare(h);
            // Slots the lane-restricted walk examines up to the key's home (1 = primary slot).
            std::size_t n = 1;
            if (home.level != 0 || probe::elastic_probe_slot(p.prepared, 0, t.inspect().level(0).len) != home.slot) {
                const std::uint32_t lanes = t.inspect().level_count() <= 16 ? group_of(t, p).lanes[p.prepared & 3] : ~0u;
                bool reached = false;
                for (auto it = t.inspect().schedule().begin(); it != t.inspect().schedule().end() && !reached; ++it) {
                    const std::uint32_t level = probe::elastic_selector_level(it->selector);
                    if (((lanes >> level) & 1u) == 0) continue;
                    ++n;
                    reached = level == home.level && probe::elastic_probe_slot(p.prepared, it->selector, it->key) == home.slot;
                }
                ASSERT_TRUE(reached) << "key off the schedule in a table without exceptional entries";
            }
            total += n;
            worst = std::max(worst, n);
        }
        const std::size_t misses = 20000;
        for (std::size_t i = 0; i < misses; ++i) {
            const auto id = static_cast<std::int64_t>(i + 10'000'000);
            ASSERT_FALSE(where(t, id).has_value());
            const auto p = probe::elastic_prepare(hash_in(t, IntKey(id, spread_hash(id))));
            passed += (group_of(t, p).bloom & p.membership) == p.membership;
        }
        EXPECT_LT(double(total) / double(limit), 2.0 + 1.5 * k) << "k " << k;  // about linear in log2(1/delta)
        EXPECT_LT(worst, 50u * (k + 1)) << "k " << k;
        EXPECT_LT(double(passed) / double(misses), 0.25) << "k " << k;  // the filter turns most misses away
    }
}

}  // namespace
