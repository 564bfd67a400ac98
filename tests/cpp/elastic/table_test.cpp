// Elastic table construction, storage layout, schedule, placement and growth.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "common/arena/aligned_block.hpp"
#include "common/error/panic.hpp"
#include "elastic_support.hpp"

namespace {

using namespace tavoric::testing::elastic_support;
using tavoric::common::arena::AllocationFaults;
using tavoric::common::arena::Unit;
using tavoric::common::error::Panic;
using tavoric::common::error::TryBuildError;
using tavoric::elastic::ElasticLayout;
using tavoric::elastic::ProbeSchedule;
using tavoric::elastic::tombstone_threshold;
using tavoric::testing::IntKey;

using MapTable = ElasticTable<IntKey, std::uintptr_t>;
using SetTable = ElasticTable<IntKey, Unit>;

MapTable map_table(std::size_t capacity, std::uint32_t k = 3, tavoric::common::hash::HashSeeds seeds = kIdentitySeeds) {
    return MapTable::with_capacity_and_reserve_and_hasher_in(capacity, k, seeds);
}

// Inserts key i with a spread hash and checks every invariant afterwards.
template <class T>
void put(T& table, std::int64_t i, std::uintptr_t value = 0) {
    IntKey key(i, spread_hash(i));
    const std::uint64_t h = table.seeds().hash(key.cached_hash());
    auto r = table.insert(key, value, h);
    ASSERT_TRUE(r.has_value());
    ASSERT_TRUE(invariants(table));
}

template <class T>
bool has(const T& table, std::int64_t i) {
    IntKey key(i, spread_hash(i));
    return table.find(key, table.seeds().hash(key.cached_hash())).has_value();
}

std::string panic_text(auto&& f) {
    try {
        f();
    } catch (const Panic& p) {
        return p.message();
    }
    return "";
}

TEST(ElasticTable, EntrySizesOnThisPlatform) {
    EXPECT_EQ(sizeof(MapTable::entry_type), 24u);
    EXPECT_EQ(sizeof(SetTable::entry_type), 16u);
}

TEST(ElasticTable, ConstructionSizes) {
    struct Case {
        std::size_t capacity;
        std::uint32_t k;
        std::size_t slots, limit, levels;
    };
    for (const Case& c : {Case{0, 3, 0, 0, 0}, Case{1, 3, 8, 7, 3}, Case{7, 3, 8, 7, 3}, Case{8, 3, 16, 14, 4},
                          Case{4, 1, 8, 4, 3}, Case{5, 1, 16, 8, 4}, Case{8, 40, 8, 8, 3}, Case{100, 3, 128, 112, 7},
                          Case{1000, 3, 2048, 1792, 11}}) {
        auto t = map_table(c.capacity, c.k);
        EXPECT_EQ(t.slots(), c.slots) << c.capacity;
        EXPECT_EQ(t.capacity(), c.limit) << c.capacity;
        EXPECT_EQ(t.level_count(), c.levels) << c.capacity;
        EXPECT_EQ(t.len(), 0u);
        EXPECT_EQ(t.batch_index(), 0u);
        EXPECT_EQ(t.batch_remaining(), c.slots == 0 ? 0 : t.batch_quotas()[0]);
        EXPECT_EQ(t.schedule().size(), 0u);
        EXPECT_EQ(t.schedule().bound(), 0u);
        EXPECT_EQ(t.schedule().capacity(), tavoric::elastic::elastic_route_capacity(c.levels));
        EXPECT_TRUE(invariants(t));
    }
    // Capacity 0 owns no arena at all.
    auto empty = map_table(0);
    EXPECT_EQ(empty.arena_base(), nullptr);
    EXPECT_EQ(empty.membership_groups(), 0u);
    EXPECT_EQ(empty.membership_offset(), 0u);
    IntKey probe_key(5, 5);
    EXPECT_FALSE(empty.find(probe_key, 5).has_value());
    EXPECT_TRUE(table_order(empty).empty());
}

TEST(ElasticTable, ConstructionFailures) {
    const std::size_t too_big = (std::size_t{1} << 31) - (std::size_t{1} << 28) + 1;
    auto refused = MapTable::try_with_capacity_and_reserve_and_hasher_in(too_big, 3, kIdentitySeeds);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error(), TryBuildError::capacity_overflow());
    EXPECT_EQ(refused.error().message(), "capacity overflow");
    EXPECT_EQ(panic_text([&] { map_table(too_big); }), "capacity overflow");
    EXPECT_EQ(panic_text([&] { map_table(SIZE_MAX, 40); }), "capacity overflow");
    EXPECT_EQ(panic_text([&] { map_table(10, 0); }), "reserve exponent must be positive");

    // Each of the three allocations (schedule, arena, level array) refused.
    for (long allowed = 0; allowed < 3; ++allowed) {
        AllocationFaults::fail_after(allowed);
        auto t = MapTable::try_with_capacity_and_reserve_and_hasher_in(100, 3, kIdentitySeeds);
        AllocationFaults::disarm();
        ASSERT_FALSE(t.has_value()) << allowed;
        EXPECT_EQ(t.error(), TryBuildError::alloc_error());
        EXPECT_EQ(t.error().message(), "memory allocation failed");
    }
    AllocationFaults::fail_after(1);
    EXPECT_EQ(panic_text([&] { map_table(100); }), "memory allocation failed");
    AllocationFaults::disarm();
    // A capacity-0 table allocates nothing, so it cannot fail.
    AllocationFaults::fail_after(0);
    EXPECT_TRUE(MapTable::try_with_capacity_and_reserve_and_hasher_in(0, 3, kIdentitySeeds).has_value());
    AllocationFaults::disarm();
}

// The arena of an 8-slot table on this 64-bit platform: 24-byte map entries
// and 16-byte set entries, both aligned to 8.
TEST(ElasticTable, ArenaLayoutOfEightSlots) {
    auto m = map_table(7);
    ASSERT_EQ(m.slots(), 8u);
    EXPECT_EQ(m.layout().entries_offset, 8u);
    EXPECT_EQ(m.layout().membership_offset, 256u);
    EXPECT_EQ(m.membership_offset(), 256u);
    EXPECT_EQ(m.membership_groups(), 1u);
    EXPECT_EQ(m.layout().size, 320u);
    const std::byte* base = m.arena_base();
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(base) % 64, 0u);
    const std::size_t ctrl[] = {0, 4, 6}, map_entries[] = {8, 104, 152};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(reinterpret_cast<const std::byte*>(m.level(i).ctrl) - base, static_cast<std::ptrdiff_t>(ctrl[i]));
        EXPECT_EQ(reinterpret_cast<const std::byte*>(m.level(i).entries) - base,
                  static_cast<std::ptrdiff_t>(map_entries[i]));
    }
    EXPECT_EQ(reinterpret_cast<const std::byte*>(m.membership()) - base, 256);

    auto s = SetTable::with_capacity_and_reserve_and_hasher_in(7, 3, kIdentitySeeds);
    EXPECT_EQ(s.layout().entries_offset, 8u);
    EXPECT_EQ(s.layout().membership_offset, 192u);
    EXPECT_EQ(s.layout().size, 256u);
    const std::size_t set_entries[] = {8, 72, 104};
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(reinterpret_cast<const std::byte*>(s.level(i).entries) - s.arena_base(),
                  static_cast<std::ptrdiff_t>(set_entries[i]));
}

TEST(ElasticTable, ArenaLayoutRules) {
    using tavoric::elastic::elastic_layout;
    // 1024 slots: 103 groups after the entries.
    auto map1024 = elastic_layout(1024, 24, 8);
    EXPECT_EQ(map1024->entries_offset, 1024u);
    EXPECT_EQ(map1024->membership_offset, 25600u);
    EXPECT_EQ(map1024->groups, 103u);
    EXPECT_EQ(map1024->size, 27264u);
    auto set1024 = elastic_layout(1024, 16, 8);
    EXPECT_EQ(set1024->membership_offset, 17408u);
    EXPECT_EQ(set1024->size, 19072u);
    // Entries start at N rounded up to their alignment: 12-byte records
    // aligned to 4 (a 32-bit map) start right after 8 control bytes.
    auto narrow = elastic_layout(8, 12, 4);
    EXPECT_EQ(narrow->entries_offset, 8u);
    EXPECT_EQ(narrow->membership_offset, 128u);
    EXPECT_EQ(narrow->size, 192u);
    auto odd = elastic_layout(10, 24, 8);
    EXPECT_EQ(odd->entries_offset, 16u);
    EXPECT_EQ(odd->groups, 1u);
    auto none = elastic_layout(0, 24, 8);
    EXPECT_EQ(none->size, 0u);
    // Byte counts no block can hold are refused.
    auto huge = elastic_layout(SIZE_MAX / 8, 24, 8);
    ASSERT_FALSE(huge.has_value());
    EXPECT_EQ(huge.error(), tavoric::common::error::TryReserveError::alloc_error());
}

// The first placement needing phi = 122 in an 8-slot table (levels 4, 2, 2).
TEST(ElasticSchedule, ExtensionToPhi122) {
    auto table = map_table(7);
    const std::size_t lengths[] = {4, 2, 2};
    auto len_of = [&](std::size_t l) { return lengths[l]; };
    ProbeSchedule schedule;
    ASSERT_TRUE(schedule.try_reserve(tavoric::elastic::elastic_route_capacity(3)).has_value());
    EXPECT_EQ(schedule.capacity(), 892u);
    schedule.extend(122, 3, len_of);
    struct Want {
        std::uint32_t level, t, key;
    };
    const Want want[] = {{1, 0, 2}, {2, 0, 2}, {0, 1, 4}, {0, 2, 4}, {1, 1, 2}, {2, 1, 2}, {1, 2, 2}};
    ASSERT_EQ(schedule.size(), 7u);
    for (std::size_t n = 0; n < 7; ++n) {
        EXPECT_EQ(schedule[n].selector, tavoric::elastic::elastic_selector(want[n].level, want[n].t)) << n;
        EXPECT_EQ(schedule[n].key, want[n].key) << n;
    }
    EXPECT_EQ(schedule.bound(), 122u);

    // Reaching 122 in two steps gives the same schedule; smaller needs and
    // the exceptional flag leave it alone.
    ProbeSchedule stepwise;
    ASSERT_TRUE(stepwise.try_reserve(892).has_value());
    stepwise.extend(57, 3, len_of);
    EXPECT_EQ(stepwise.size(), 3u);
    stepwise.mark_exceptional();
    stepwise.extend(122, 3, len_of);
    stepwise.extend(100, 3, len_of);
    ASSERT_EQ(stepwise.size(), 7u);
    for (std::size_t n = 0; n < 7; ++n) EXPECT_EQ(stepwise[n].selector, schedule[n].selector);
    EXPECT_EQ(stepwise.bound(), 122u);
    EXPECT_TRUE(stepwise.exceptional());
    // The whole cap fits the reserved capacity exactly.
    stepwise.extend(tavoric::elastic::kPhiCap, 3, len_of);
    EXPECT_EQ(stepwise.size(), 892u);
    EXPECT_EQ(panic_text([&] { stepwise.extend(tavoric::elastic::kPhiCap + 1, 3, len_of); }),
              "Elastic query-position convention exhausted");
}

// A capacity-0 table through its first growth and the doubling to 16 slots.
TEST(ElasticTable, WorkedInsertionSequence) {
    auto t = map_table(0);
    put(t, 1);
    EXPECT_EQ(t.slots(), 8u);
    EXPECT_EQ(t.capacity(), 7u);
    EXPECT_EQ(t.level(0).len, 4u);
    EXPECT_EQ(t.level(1).len, 2u);
    EXPECT_EQ(t.level(2).len, 2u);
    EXPECT_EQ(t.batch_index(), 0u);
    EXPECT_EQ(t.batch_remaining(), 2u);
    put(t, 2);
    put(t, 3);
    // Batch 0 probes level 0 only.
    EXPECT_EQ(t.level(0).occupied, 3u);
    EXPECT_EQ(t.batch_index(), 0u);
    EXPECT_EQ(t.batch_remaining(), 0u);
    put(t, 4);
    EXPECT_EQ(t.batch_index(), 1u);
    EXPECT_EQ(t.batch_remaining(), 2u);
    put(t, 5);
    put(t, 6);
    EXPECT_EQ(t.batch_index(), 1u);
    EXPECT_EQ(t.batch_remaining(), 0u);
    EXPECT_EQ(t.level(0).occupied + t.level(1).occupied, 6u);
    EXPECT_EQ(t.level(2).occupied, 0u);
    put(t, 7);
    EXPECT_EQ(t.batch_index(), 2u);
    EXPECT_EQ(t.batch_remaining(), 0u);
    EXPECT_EQ(t.len(), 7u);
    EXPECT_EQ(t.slots(), 8u);
    // The 8th key doubles the table: 7 moved entries fill batch 0 (6) and
    // start batch 1, the new key is the second of batch 1.
    put(t, 8);
    EXPECT_EQ(t.slots(), 16u);
    EXPECT_EQ(t.capacity(), 14u);
    EXPECT_EQ(t.level_count(), 4u);
    EXPECT_EQ(t.batch_index(), 1u);
    EXPECT_EQ(t.batch_remaining(), 3u);
    EXPECT_EQ(t.len(), 8u);
    for (std::int64_t i = 1; i <= 8; ++i) EXPECT_TRUE(has(t, i)) << i;
    EXPECT_FALSE(has(t, 9));
}

TEST(ElasticTable, LargerExponentUsesTheLastSlotBeforeDoubling) {
    auto t = map_table(0, 4);
    for (std::int64_t i = 0; i < 8; ++i) put(t, i);
    EXPECT_EQ(t.slots(), 8u);
    EXPECT_EQ(t.capacity(), 8u);
    EXPECT_EQ(t.len(), 8u);
    put(t, 8);
    EXPECT_EQ(t.slots(), 16u);
}

TEST(ElasticTable, GrowthKeepsEveryKeyAndFollowsThePlacement) {
    auto t = map_table(0);
    std::vector<std::size_t> slot_counts;
    for (std::int64_t i = 0; i < 3000; ++i) {
        IntKey key(i, spread_hash(i));
        ASSERT_TRUE(t.insert(key, static_cast<std::uintptr_t>(i * 3), t.seeds().hash(key.cached_hash())).has_value());
        if (slot_counts.empty() || slot_counts.back() != t.slots()) {
            slot_counts.push_back(t.slots());
            ASSERT_TRUE(invariants(t)) << i;
        }
    }
    EXPECT_EQ(slot_counts, (std::vector<std::size_t>{8, 16, 32, 64, 128, 256, 512, 1024, 2048, 4096}));
    ASSERT_TRUE(invariants(t));
    for (std::int64_t i = 0; i < 3000; ++i) {
        IntKey key(i, spread_hash(i));
        auto loc = t.find(key, t.seeds().hash(key.cached_hash()));
        ASSERT_TRUE(loc.has_value());
        EXPECT_EQ(t.entry_at(*loc).value, static_cast<std::uintptr_t>(i * 3));
    }
    // Replacing returns the old value and changes nothing else.
    IntKey again(17, spread_hash(17));
    auto old = t.insert(again, 99, t.seeds().hash(again.cached_hash()));
    ASSERT_TRUE(old.has_value());
    EXPECT_EQ(**old, 51u);
    EXPECT_EQ(t.len(), 3000u);
}

TEST(ElasticTable, ReserveSizes) {
    auto t = map_table(0);
    ASSERT_TRUE(t.reserve(0).has_value());
    EXPECT_EQ(t.slots(), 0u);
    ASSERT_TRUE(t.reserve(1).has_value());
    EXPECT_EQ(t.slots(), 8u);
    put(t, 1);
    put(t, 2);
    ASSERT_TRUE(t.reserve(5).has_value());  // 2 + 5 = 7 fits
    EXPECT_EQ(t.slots(), 8u);
    ASSERT_TRUE(t.reserve(100).has_value());  // 102 entries: 128 slots
    EXPECT_EQ(t.slots(), 128u);
    EXPECT_EQ(t.capacity(), 112u);
    EXPECT_TRUE(has(t, 1));
    EXPECT_TRUE(has(t, 2));
    ASSERT_TRUE(invariants(t));
    for (std::size_t beyond : {SIZE_MAX, std::size_t{1} << 31}) {
        auto refused = t.reserve(beyond);
        ASSERT_FALSE(refused.has_value());
        EXPECT_EQ(refused.error().message(), "capacity overflow");
    }
    EXPECT_EQ(t.slots(), 128u);
    ASSERT_TRUE(invariants(t));
}

TEST(ElasticThreshold, Values) {
    const std::pair<std::size_t, std::size_t> values[] = {{2, 1},     {4, 3},     {8, 6},     {16, 12},
                                                          {32, 24},   {64, 48},   {128, 96},  {256, 160},
                                                          {512, 288}, {1024, 544}, {1, 0},    {3, 2}};
    for (auto [n, theta] : values) EXPECT_EQ(tombstone_threshold(n), theta) << n;
    // No overflow for the largest lengths.
    EXPECT_EQ(tombstone_threshold(SIZE_MAX), SIZE_MAX / 2 + 32);
    EXPECT_EQ(tombstone_threshold(std::size_t{1} << 62), (std::size_t{1} << 61) + 32);
}

}  // namespace
