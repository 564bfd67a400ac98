#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <unordered_map>
#include <vector>

#include "common/error/panic.hpp"
#include "funnel_support.hpp"

namespace {

using namespace tavoric::funnel;
using namespace tavoric::testing;
using tavoric::common::error::Panic;
using tavoric::common::error::TryReserveError;

using Table = FunnelTable<IntKey, int>;

Table make(std::size_t budget, std::uint32_t k = 3) {
    auto t = Table::try_with_insert_budget(budget, k, kTestSeeds);
    if (!t) throw std::runtime_error("construction failed");
    return std::move(*t);
}

std::uint64_t hash_of(const Table& t, const IntKey& key) { return t.seeds().hash(key.cached_hash()); }

std::optional<int> put(Table& t, std::int64_t v, int value) {
    IntKey key(v);
    auto r = t.insert(key, std::move(value), hash_of(t, key));
    EXPECT_TRUE(r.has_value());
    return r.has_value() ? *r : std::nullopt;
}

bool has(const Table& t, std::int64_t v) { return t.find(IntKey(v), hash_of(t, IntKey(v))).has_value(); }

TEST(FunnelInsert, EmptyTableGrowsTo144OnFirstInsert) {
    Table t = make(0);
    EXPECT_EQ(t.capacity(), 0u);
    EXPECT_FALSE(has(t, 5));
    put(t, 5, 50);
    EXPECT_EQ(t.slot_count(), 144u);
    EXPECT_EQ(t.capacity(), 126u);
    EXPECT_TRUE(has(t, 5));
    expect_invariants(t);
}

TEST(FunnelInsert, GrowsOnlyWhenANewKeyExceedsTheBudget) {
    Table t = make(126);
    for (int v = 0; v < 126; ++v) {
        put(t, v, v);
        expect_invariants(t);
    }
    EXPECT_EQ(t.slot_count(), 144u);
    // Re-inserting existing keys at full capacity replaces, never grows.
    for (int v = 0; v < 126; ++v) EXPECT_EQ(put(t, v, v + 1000), std::optional<int>(v));
    EXPECT_EQ(t.slot_count(), 144u);
    EXPECT_EQ(t.len(), 126u);
    put(t, 126, 126);
    EXPECT_EQ(t.slot_count(), 344u);
    EXPECT_EQ(t.capacity(), 301u);
    expect_invariants(t);
    for (int v = 0; v <= 126; ++v) {
        auto at = t.find(IntKey(v), hash_of(t, IntKey(v)));
        ASSERT_TRUE(at.has_value());
        EXPECT_EQ(t.entry_at(*at).value, v < 126 ? v + 1000 : 126);
    }
}

TEST(FunnelInsert, GrowthFollowsTheSizeSequence) {
    Table t = make(0);
    std::vector<std::size_t> sizes;
    for (int v = 0; v < 19265; ++v) {
        const std::size_t before = t.slot_count();
        put(t, v, v);
        if (t.slot_count() != before) {
            sizes.push_back(t.slot_count());
            expect_invariants(t);
        }
    }
    EXPECT_EQ(sizes, (std::vector<std::size_t>{144, 344, 688, 1375, 2751, 5503, 11007, 22015, 44031}));
    EXPECT_EQ(t.len(), 19265u);
    for (int v = 0; v < 19265; ++v) ASSERT_TRUE(has(t, v)) << v;
}

TEST(FunnelInsert, ReserveGrowsOnceToAtLeastDoubleAndNeverShrinks) {
    Table t = make(1000);
    ASSERT_TRUE(t.reserve(0));
    ASSERT_TRUE(t.reserve(1000));
    EXPECT_EQ(t.slot_count(), 1142u);
    for (int v = 0; v < 10; ++v) put(t, v, v);
    ASSERT_TRUE(t.reserve(990));
    EXPECT_EQ(t.slot_count(), 1142u);
    ASSERT_TRUE(t.reserve(991));
    EXPECT_GE(t.capacity(), 2000u);
    EXPECT_EQ(t.slot_count(), *smallest_admissible_slots(2000, 3));
    for (int v = 0; v < 10; ++v) EXPECT_TRUE(has(t, v));
    expect_invariants(t);
    const std::size_t cap = t.capacity();
    ASSERT_TRUE(t.reserve(5000));
    EXPECT_GE(t.capacity(), 5010u);
    EXPECT_GE(t.capacity(), 2 * cap);
    expect_invariants(t);
    // A count beyond any table is an error value, before any change.
    auto refused = t.reserve(std::numeric_limits<std::size_t>::max());
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), TryReserveError::capacity_overflow());
    EXPECT_EQ(t.len(), 10u);
    expect_invariants(t);
}

TEST(FunnelInsert, IterationIsAscendingSlotOrder) {
    Table t = make(0);
    for (int v = 0; v < 300; ++v) put(t, v * 31, v);
    ASSERT_EQ(t.slot_count(), 344u);
    Table::cursor_type cursor(t.len());
    std::vector<std::size_t> slots;
    while (t.scan_next(cursor)) slots.push_back(t.cursor_location(cursor));
    ASSERT_EQ(slots.size(), 300u);
    EXPECT_TRUE(std::is_sorted(slots.begin(), slots.end()));
    EXPECT_EQ(std::adjacent_find(slots.begin(), slots.end()), slots.end());
    for (std::size_t s : slots) EXPECT_TRUE(tavoric::common::arena::is_live(t.control_bytes()[s]));
}

TEST(FunnelInsert, RandomOperationsAgainstAReferenceMap) {
    std::mt19937_64 rng(2024);
    Table t = make(0);
    std::unordered_map<std::int64_t, int> ref;
    for (int op = 0; op < 40000; ++op) {
        const std::int64_t v = static_cast<std::int64_t>(rng() % 3000);
        const int action = static_cast<int>(rng() % 10);
        if (action < 6) {
            auto prev = put(t, v, op);
            auto it = ref.find(v);
            EXPECT_EQ(prev.has_value(), it != ref.end());
            if (prev && it != ref.end()) {
                EXPECT_EQ(*prev, it->second);
            }
            ref[v] = op;
        } else if (action < 9) {
            auto at = t.find(IntKey(v), hash_of(t, IntKey(v)));
            EXPECT_EQ(at.has_value(), ref.count(v) == 1);
            if (at) {
                auto entry = t.remove(*at);
                EXPECT_EQ(entry.value, ref[v]);
                ref.erase(v);
            }
        } else {
            EXPECT_EQ(has(t, v), ref.count(v) == 1);
        }
        ASSERT_EQ(t.len(), ref.size());
        if (op % 997 == 0) expect_invariants(t);
    }
    expect_invariants(t);
    for (auto& [k, value] : ref) {
        auto at = t.find(IntKey(k), hash_of(t, IntKey(k)));
        ASSERT_TRUE(at.has_value());
        EXPECT_EQ(t.entry_at(*at).value, value);
    }
}

TEST(FunnelInsert, LargerExponentsWork) {
    for (std::uint32_t k : {4u, 5u, 8u}) {
        Table t = make(0, k);
        for (int v = 0; v < 3000; ++v) put(t, v, v);
        EXPECT_EQ(t.len(), 3000u);
        expect_invariants(t);
    }
    // k from 28 to 31: no table exists, the first new key cannot be placed.
    Table t = make(0, 28);
    EXPECT_THROW(put(t, 1, 1), Panic);
    EXPECT_EQ(t.len(), 0u);
    Table big = make(0, 40);
    EXPECT_THROW(put(big, 1, 1), Panic);
}

}  // namespace
