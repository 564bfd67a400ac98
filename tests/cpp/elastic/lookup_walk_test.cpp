// The lookup walk that merges the probes of the few levels a key's lane
// admits must visit them exactly in schedule order: compared here with a
// plain walk over every route, for distinct keys, absent keys and keys that
// share one probe sequence (where the first match on the walk decides).
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "elastic_support.hpp"

namespace {

using namespace tavoric::testing::elastic_support;
using tavoric::testing::IntKey;

using MapTable = ElasticTable<IntKey, std::uintptr_t>;

// Matches every stored key whose value is at least `from`.
struct AtLeast {
    std::int64_t from;
    std::intptr_t hash;
    std::intptr_t cached_hash() const noexcept { return hash; }
    bool matches(const IntKey& stored) const { return stored.value >= from && stored.value < 1000; }
};

// Primary slot, then every route of the schedule in order; no filter.
template <class Q>
std::optional<ElasticLocation> plain_walk(const MapTable& t, const Q& probe) {
    const auto p = probe::elastic_prepare(t.seeds().hash(probe.cached_hash()));
    auto matches = [&](std::size_t l, std::size_t s) {
        const auto& level = t.level(l);
        return level.ctrl[s] == p.fingerprint && probe.matches(level.entries[s].key);
    };
    const auto p0 = probe::elastic_probe_slot(p.prepared, probe::elastic_selector(0, 0), t.level(0).len);
    if (matches(0, *p0)) return ElasticLocation{0, *p0};
    for (const auto& route : t.schedule()) {
        const std::uint32_t l = probe::elastic_selector_level(route.selector);
        const auto slot = probe::elastic_probe_slot(p.prepared, route.selector, route.key);
        if (matches(l, *slot)) return ElasticLocation{l, *slot};
    }
    return std::nullopt;
}

TEST(ElasticLookupWalk, PhiWithoutALoopEqualsPhi) {
    // Placement uses it for every probe number a placement can report.
    static_assert(tavoric::elastic::kMaxProbeNumber < (1u << 16));
    for (std::uint64_t i = 1; i <= 33; ++i) {
        for (std::uint64_t j = 1; j < (std::uint64_t{1} << 16); ++j) {
            ASSERT_EQ(probe::elastic_phi_small(i, j), static_cast<std::uint64_t>(*probe::elastic_phi(i, j)))
                << "i=" << i << " j=" << j;
        }
    }
    for (std::size_t levels = 0; levels <= 32; ++levels) {
        EXPECT_EQ(probe::elastic_route_capacity(levels), probe::elastic_route_capacity_counted(levels));
    }
}

TEST(ElasticLookupWalk, BranchFreeSlotEqualsTheProbeSlot) {
    std::mt19937_64 rng(11);
    for (int i = 0; i < 20000; ++i) {
        const std::uint64_t H = rng();
        const auto selector = static_cast<std::uint32_t>(rng());
        const std::size_t n = std::size_t{1} << (i % 32);
        EXPECT_EQ(probe::elastic_probe_slot_power_of_two(H, selector, n), *probe::elastic_probe_slot(H, selector, n))
            << "n=" << n;
    }
}

TEST(ElasticLookupWalk, LevelRouteCountsDescribeTheSchedule) {
    auto t = MapTable::with_capacity_and_reserve_and_hasher_in(3000, 4, kIdentitySeeds);
    for (std::int64_t i = 0; t.len() < t.capacity(); ++i) {
        ASSERT_TRUE(t.insert(IntKey(i, spread_hash(i)), 1, spread_hash(i)).has_value());
    }
    std::vector<std::uint32_t> seen(32, 0);
    for (const auto& route : t.schedule()) {
        const std::uint32_t l = probe::elastic_selector_level(route.selector);
        const std::uint32_t probe_number = (route.selector & 0xFFFFu) >> 3;
        EXPECT_EQ(probe_number, t.schedule().first_probe(l) + seen[l]);
        ++seen[l];
    }
    for (std::uint32_t l = 0; l < 32; ++l) EXPECT_EQ(t.schedule().level_routes(l), seen[l]) << "level " << l;
}

TEST(ElasticLookupWalk, FindsWhatThePlainWalkFinds) {
    std::mt19937_64 rng(7);
    for (std::uint32_t k : {1u, 3u, 6u}) {
        for (std::size_t capacity : {50u, 900u, 20000u}) {
            const tavoric::common::hash::HashSeeds seeds{rng(), rng() | 1};
            auto t = MapTable::with_capacity_and_reserve_and_hasher_in(capacity, k, seeds);
            std::vector<IntKey> keys;
            while (t.len() < t.capacity()) {
                IntKey key(static_cast<std::int64_t>(keys.size()), static_cast<std::intptr_t>(rng()));
                ASSERT_TRUE(t.insert(key, 1, t.seeds().hash(key.cached_hash())).has_value());
                keys.push_back(key);
            }
            for (const IntKey& key : keys) {
                auto found = t.find(key, t.seeds().hash(key.cached_hash()));
                ASSERT_TRUE(found.has_value());
                EXPECT_EQ(found, plain_walk(t, key));
            }
            for (int i = 0; i < 2000; ++i) {
                IntKey absent(-1 - i, static_cast<std::intptr_t>(rng()));
                EXPECT_FALSE(t.find(absent, t.seeds().hash(absent.cached_hash())).has_value());
            }
        }
    }
}

TEST(ElasticLookupWalk, FirstMatchAmongKeysOfOneProbeSequence) {
    // Keys with one hash share every probe and land on a few levels; a probe
    // matching several of them must get the first on the walk.
    for (int count : {6, 12, 24}) {
        auto t = MapTable::with_capacity_and_reserve_and_hasher_in(4000, 3, kIdentitySeeds);
        const std::intptr_t hash = spread_hash(99);
        for (std::int64_t i = 0; i < 3000; ++i) {
            ASSERT_TRUE(t.insert(IntKey(i + 1000, spread_hash(i)), 1, spread_hash(i)).has_value());
        }
        for (std::int64_t v = 0; v < count; ++v) ASSERT_TRUE(t.insert(IntKey(v, hash), 1, hash).has_value());
        for (std::int64_t from = 0; from < count; ++from) {
            AtLeast probe_key{from, hash};
            auto found = t.find(probe_key, t.seeds().hash(hash));
            ASSERT_TRUE(found.has_value());
            EXPECT_EQ(found, plain_walk(t, probe_key)) << "count " << count << " from " << from;
        }
    }
}

}  // namespace
