// Elastic lookups: primary slot, membership filter, level lanes, schedule
// walk, exceptional placement and the full scan, under friendly and
// adversarial hashes.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "common/arena/aligned_block.hpp"
#include "elastic_support.hpp"

namespace {

using namespace tavoric::testing::elastic_support;
using tavoric::common::arena::AllocationFaults;
using tavoric::testing::CountedKey;
using tavoric::testing::CountedValue;
using tavoric::testing::IntKey;
using tavoric::testing::Ledger;

using MapTable = ElasticTable<IntKey, std::uintptr_t>;

TEST(ElasticLookup, PrimarySlotWithAnEmptySchedule) {
    auto t = MapTable::with_capacity_and_reserve_and_hasher_in(7, 3, kIdentitySeeds);
    IntKey key(1, 0);  // table hash 0: primary slot 1 of level 0
    ASSERT_TRUE(t.insert(key, 10, 0).has_value());
    // The primary pair (phi 13) is never a route: the bound moves, the
    // schedule stays empty.
    EXPECT_EQ(t.schedule().size(), 0u);
    EXPECT_EQ(t.schedule().bound(), 13u);
    auto loc = t.find(key, 0);
    ASSERT_TRUE(loc.has_value());
    EXPECT_EQ(*loc, (ElasticLocation{0, 1}));
    // Another key with the same hash but another identity is not it.
    IntKey other(2, 0);
    EXPECT_FALSE(t.find(other, 0).has_value());
    // The second key of that hash must go deeper: probe (0, 1) is slot 3,
    // phi 57, which extends the schedule to 57.
    ASSERT_TRUE(t.insert(other, 20, 0).has_value());
    EXPECT_EQ(*t.find(other, 0), (ElasticLocation{0, 3}));
    EXPECT_EQ(t.schedule().bound(), 57u);
    EXPECT_EQ(t.schedule().size(), 3u);
    ASSERT_TRUE(invariants(t));
}

TEST(ElasticLookup, KeyWithoutMembershipBitsIsAbsentAfterThePrimaryCheck) {
    auto t = MapTable::with_capacity_and_reserve_and_hasher_in(7, 3, kIdentitySeeds);
    for (std::int64_t i = 0; i < 7; ++i) {
        IntKey key(i, spread_hash(i));
        ASSERT_TRUE(t.insert(key, 0, hash_in(t, key)).has_value());
    }
    ASSERT_GT(t.schedule().size(), 0u);
    ASSERT_FALSE(t.schedule().exceptional());
    const auto& group = t.membership()[0];
    // Probe keys equal to a stored key but presented with another hash of
    // the same fingerprint, chosen so that the schedule walk would reach the
    // stored slot. With the key's bits in the bloom word the walk finds it;
    // without them the lookup stops after the primary slot.
    int hidden = 0, walked = 0;
    for (std::int64_t i = 0; i < 7 && (hidden == 0 || walked == 0); ++i) {
        IntKey stored(i, spread_hash(i));
        const auto home = *t.find(stored, hash_in(t, stored));
        const std::uint64_t top = hash_in(t, stored) & (std::uint64_t{0x7F} << 57);
        for (std::uint64_t low = 1; low < 200000; ++low) {
            const std::uint64_t h = top | (probe::splitmix64_finalize(low) >> 7);
            const auto p = probe::elastic_prepare(h);
            if (probe::elastic_probe_slot(p.prepared, 0, t.level(0).len) == home.slot && home.level == 0) continue;
            if (((group.lanes[p.prepared & 3] >> home.level) & 1u) == 0) continue;
            bool reaches = false;
            for (const auto& route : t.schedule())
                reaches = reaches || (probe::elastic_selector_level(route.selector) == home.level &&
                                      probe::elastic_probe_slot(p.prepared, route.selector, route.key) == home.slot);
            if (!reaches) continue;
            IntKey ghost(i, static_cast<std::intptr_t>(h));
            const bool filtered_out = (group.bloom & p.membership) != p.membership;
            if (filtered_out) {
                EXPECT_FALSE(t.find(ghost, h).has_value());
                ++hidden;
            } else {
                EXPECT_TRUE(t.find(ghost, h).has_value());
                ++walked;
            }
            if (hidden > 0 && walked > 0) break;
        }
    }
    EXPECT_GT(hidden, 0);
    EXPECT_GT(walked, 0);
}

// More than 16 levels (more than 65536 slots): no lanes are kept and every
// route is probed.
TEST(ElasticLookup, NoLanesAboveSixteenLevels) {
    auto big = MapTable::with_capacity_and_reserve_and_hasher_in(100000, 3, kIdentitySeeds);
    ASSERT_EQ(big.slots(), 131072u);
    ASSERT_EQ(big.level_count(), 17u);
    for (std::int64_t i = 0; i < 3000; ++i) {
        IntKey key(i, spread_hash(i));
        ASSERT_TRUE(big.insert(key, static_cast<std::uintptr_t>(i), hash_in(big, key)).has_value());
    }
    ASSERT_TRUE(invariants(big));  // includes "no lane bit set anywhere"
    for (std::int64_t i = 0; i < 3000; ++i) {
        IntKey key(i, spread_hash(i));
        ASSERT_TRUE(big.find(key, hash_in(big, key)).has_value()) << i;
        IntKey absent(i + 1'000'000, spread_hash(i + 1'000'000));
        ASSERT_FALSE(big.find(absent, hash_in(big, absent)).has_value());
    }
    // Sixteen levels still record lanes.
    auto lanes = MapTable::with_capacity_and_reserve_and_hasher_in(50000, 3, kIdentitySeeds);
    ASSERT_EQ(lanes.level_count(), 16u);
    IntKey one(1, spread_hash(1));
    ASSERT_TRUE(lanes.insert(one, 1, hash_in(lanes, one)).has_value());
    const auto p = probe::elastic_prepare(hash_in(lanes, one));
    const auto& group = lanes.membership()[tavoric::common::hash::multiply_high(p.prepared, lanes.membership_groups())];
    EXPECT_EQ(group.lanes[p.prepared & 3], 1u);
}

// Every key shares one probe sequence when both seeds are 0. A 512-slot
// level offers such a key at most 383 usable probes, fewer than batch 0's
// 384 placements, so a key ends up placed exceptionally and is still found.
TEST(ElasticExceptional, ConstantHashForcesExceptionalPlacement) {
    auto t = MapTable::with_capacity_and_reserve_and_hasher_in(1000, 6, kConstantSeeds);
    ASSERT_EQ(t.slots(), 1024u);
    bool seen_exceptional = false;
    for (std::int64_t i = 0; i < 520; ++i) {
        IntKey key(i, spread_hash(i));
        ASSERT_EQ(hash_in(t, key), 0u);
        ASSERT_TRUE(t.insert(key, static_cast<std::uintptr_t>(i), 0).has_value());
        seen_exceptional = seen_exceptional || t.schedule().exceptional();
        ASSERT_TRUE(t.find(key, 0).has_value()) << i;
        if (i % 64 == 0) {
            ASSERT_TRUE(invariants(t)) << i;
        }
    }
    EXPECT_TRUE(seen_exceptional);
    ASSERT_TRUE(invariants(t));
    for (std::int64_t i = 0; i < 520; ++i) {
        IntKey key(i, 0);
        auto loc = t.find(key, 0);
        ASSERT_TRUE(loc.has_value()) << i;
        EXPECT_EQ(t.entry_at(*loc).value, static_cast<std::uintptr_t>(i));
    }
    IntKey absent(5000, 0);
    EXPECT_FALSE(t.find(absent, 0).has_value());
    // The table keeps accepting keys, through growth too.
    for (std::int64_t i = 520; i < 1100; ++i) {
        IntKey key(i, 0);
        ASSERT_TRUE(t.insert(key, static_cast<std::uintptr_t>(i), 0).has_value());
    }
    EXPECT_EQ(t.slots(), 2048u);
    ASSERT_TRUE(invariants(t));
    for (std::int64_t i = 0; i < 1100; ++i) {
        IntKey key(i, 0);
        ASSERT_TRUE(t.find(key, 0).has_value()) << i;
    }
}

// When the same-size rebuild cannot get memory, the key goes straight to
// the exceptional slot instead of failing the insertion.
TEST(ElasticExceptional, RefusedSameSizeRebuildStillPlacesTheKey) {
    auto t = MapTable::with_capacity_and_reserve_and_hasher_in(1000, 6, kConstantSeeds);
    for (std::int64_t i = 0; i < 450; ++i) {
        IntKey key(i, 0);
        AllocationFaults::fail_after(0);
        auto r = t.insert(key, static_cast<std::uintptr_t>(i), 0);
        AllocationFaults::disarm();
        ASSERT_TRUE(r.has_value()) << i;
    }
    EXPECT_TRUE(t.schedule().exceptional());
    EXPECT_EQ(t.len(), 450u);
    ASSERT_TRUE(invariants(t));
    for (std::int64_t i = 0; i < 450; ++i) {
        IntKey key(i, 0);
        ASSERT_TRUE(t.find(key, 0).has_value()) << i;
    }
}

// Hash policies that concentrate keys: nothing may be lost, duplicated or
// corrupted, checked against a plain model after a random mix of inserts,
// replacements and removals.
struct Policy {
    const char* name;
    std::intptr_t (*hash)(std::int64_t);
    bool cheap_checks;  // full invariant check after every step
};

const Policy kPolicies[] = {
    {"spread", [](std::int64_t i) { return spread_hash(i); }, true},
    {"constant", [](std::int64_t) { return std::intptr_t{42}; }, false},
    {"sixteen values", [](std::int64_t i) { return static_cast<std::intptr_t>(i & 15); }, false},
    {"high bits only", [](std::int64_t i) { return static_cast<std::intptr_t>(static_cast<std::uint64_t>(i) << 48); }, true},
    {"low bits only", [](std::int64_t i) { return static_cast<std::intptr_t>(i & 0xFF); }, true},
    {"negative", [](std::int64_t i) { return static_cast<std::intptr_t>(-1 - (i & 7)); }, false},
};

TEST(ElasticAdversarial, NothingLostDuplicatedOrCorrupted) {
    for (const Policy& policy : kPolicies) {
        for (auto seeds : {kIdentitySeeds, tavoric::common::hash::HashSeeds{0x1234, 0x9E3779B97F4A7C15ULL}}) {
            SCOPED_TRACE(policy.name);
            Ledger ledger;
            {
                using Table = ElasticTable<CountedKey, CountedValue>;
                auto t = Table::with_capacity_and_reserve_and_hasher_in(0, 3, seeds);
                std::map<std::int64_t, std::int64_t> model;
                std::mt19937_64 rng(7);
                for (int step = 0; step < 1500; ++step) {
                    const std::int64_t k = static_cast<std::int64_t>(rng() % 400);
                    CountedKey key(ledger, k, policy.hash(k));
                    const auto h = hash_in(t, key);
                    if (rng() % 3 != 0) {
                        const std::int64_t payload = static_cast<std::int64_t>(rng() % 1000);
                        auto r = t.insert(std::move(key), CountedValue(ledger, payload), h);
                        ASSERT_TRUE(r.has_value());
                        auto it = model.find(k);
                        ASSERT_EQ(r->has_value(), it != model.end());
                        if (r->has_value()) {
                            ASSERT_EQ((*r)->payload(), it->second);
                        }
                        model[k] = payload;
                    } else {
                        auto loc = t.find(key, h);
                        ASSERT_EQ(loc.has_value(), model.count(k) == 1);
                        if (loc) {
                            auto entry = t.remove(*loc);
                            ASSERT_EQ(entry.key.value(), k);
                            ASSERT_EQ(entry.value.payload(), model[k]);
                            model.erase(k);
                        }
                    }
                    ASSERT_EQ(t.len(), model.size());
                    if (policy.cheap_checks || step % 25 == 0) {
                        ASSERT_TRUE(invariants(t)) << step;
                    }
                }
                ASSERT_TRUE(invariants(t));
                std::map<std::int64_t, std::int64_t> seen;
                Table::cursor_type cursor(t.len());
                while (auto* entry = t.scan_next(cursor)) {
                    ASSERT_TRUE(seen.emplace(entry->key.value(), entry->value.payload()).second) << "duplicate";
                }
                EXPECT_EQ(seen, model);
            }
            EXPECT_TRUE(ledger.all_released_once());
        }
    }
}

}  // namespace
