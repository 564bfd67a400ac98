// Elastic table construction, arena, schedule, placement and growth.
#include <gtest/gtest.h>

#include <cstdint>
#include <type_traits>
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
using tavoric::common::error::TryReserveError;
using tavoric::elastic::ProbeSchedule;
using tavoric::testing::IntKey;

using MapTable = ElasticTable<IntKey, std::uintptr_t>;
using SetTable = ElasticTable<IntKey, Unit>;

MapTable map_table(std::size_t capacity, std::uint32_t k = 3) {
    return MapTable::with_capacity_and_reserve_and_hasher_in(capacity, k, kIdentitySeeds);
}

// Inserts key i and checks every invariant afterwards.
void put_checked(MapTable& t, std::int64_t i) {
    ASSERT_TRUE(put(t, i).has_value());
    ASSERT_TRUE(invariants(t));
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
        EXPECT_EQ(t.batch_remaining(), c.slots == 0 ? 0 : t.batch_quotas()[0]);
        EXPECT_EQ(t.schedule().capacity(), tavoric::elastic::elastic_route_capacity(c.levels));
        EXPECT_TRUE(invariants(t));
    }
    auto empty = map_table(0);  // owns no arena at all
    EXPECT_EQ(empty.arena_base(), nullptr);
    EXPECT_FALSE(empty.find(IntKey(5, 5), 5).has_value());
}

TEST(ElasticTable, ConstructionFailures) {
    const std::size_t too_big = (std::size_t{1} << 31) - (std::size_t{1} << 28) + 1;
    auto refused = MapTable::try_with_capacity_and_reserve_and_hasher_in(too_big, 3, kIdentitySeeds);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error(), TryBuildError::capacity_overflow());
    EXPECT_THROW(map_table(too_big), Panic);
    EXPECT_THROW(map_table(SIZE_MAX, 40), Panic);
    EXPECT_THROW(map_table(10, 0), Panic);
    // Each of the three allocations (schedule, arena, level array) refused.
    for (long allowed = 0; allowed < 3; ++allowed) {
        AllocationFaults::fail_after(allowed);
        auto t = MapTable::try_with_capacity_and_reserve_and_hasher_in(100, 3, kIdentitySeeds);
        AllocationFaults::disarm();
        ASSERT_FALSE(t.has_value()) << allowed;
        EXPECT_EQ(t.error(), TryBuildError::alloc_error());
    }
    AllocationFaults::fail_after(1);
    EXPECT_THROW(map_table(100), Panic);
    // A capacity-0 table allocates nothing, so it cannot fail.
    AllocationFaults::fail_after(0);
    EXPECT_TRUE(MapTable::try_with_capacity_and_reserve_and_hasher_in(0, 3, kIdentitySeeds).has_value());
    AllocationFaults::disarm();
}

// Control bytes of all levels first, then the entries, then the membership
// groups; no region overlaps the next and the block is 64-aligned.
TEST(ElasticTable, ArenaRegionsFollowEachOtherWithoutOverlap) {
    auto check = [](const auto& t) {
        using Entry = typename std::remove_cvref_t<decltype(t)>::entry_type;
        const std::byte* base = t.arena_base();
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(base) % 64, 0u);
        std::size_t before = 0;
        for (std::size_t i = 0; i < t.level_count(); ++i) {
            EXPECT_EQ(reinterpret_cast<const std::byte*>(t.level(i).ctrl) - base, std::ptrdiff_t(before));
            EXPECT_EQ(reinterpret_cast<const std::byte*>(t.level(i).entries) - base,
                      std::ptrdiff_t(t.layout().entries_offset + before * sizeof(Entry)));
            before += t.level(i).len;
        }
        EXPECT_GE(t.layout().entries_offset, t.slots());
        EXPECT_EQ(t.layout().entries_offset % alignof(Entry), 0u);
        EXPECT_GE(t.layout().membership_offset, t.layout().entries_offset + t.slots() * sizeof(Entry));
        EXPECT_EQ(reinterpret_cast<const std::byte*>(t.membership()) - base, std::ptrdiff_t(t.membership_offset()));
        EXPECT_GE(t.membership_groups() * 10, t.slots());  // ten slots per group
        EXPECT_EQ(t.layout().size % 64, 0u);
    };
    for (std::size_t capacity : {7u, 100u, 1000u}) {
        check(map_table(capacity));
        check(SetTable::with_capacity_and_reserve_and_hasher_in(capacity, 3, kIdentitySeeds));
    }
    auto narrow = tavoric::elastic::elastic_layout(10, 12, 4);  // 12-byte records aligned to 4
    EXPECT_EQ(narrow->entries_offset, 12u);
    EXPECT_EQ(tavoric::elastic::elastic_layout(0, 24, 8)->size, 0u);
    EXPECT_EQ(tavoric::elastic::elastic_layout(SIZE_MAX / 8, 24, 8).error(), TryReserveError::alloc_error());
}

// The first placement needing phi = 122 in an 8-slot table (levels 4, 2, 2).
TEST(ElasticSchedule, ExtensionToPhi122) {
    const std::size_t lengths[] = {4, 2, 2};
    auto len_of = [&](std::size_t l) { return lengths[l]; };
    ProbeSchedule schedule, stepwise;
    ASSERT_TRUE(schedule.try_reserve(tavoric::elastic::elastic_route_capacity(3)).has_value());
    ASSERT_TRUE(stepwise.try_reserve(892).has_value());
    EXPECT_EQ(schedule.capacity(), 892u);
    schedule.extend(122, 3, len_of);
    const std::uint32_t want[][3] = {{1, 0, 2}, {2, 0, 2}, {0, 1, 4}, {0, 2, 4}, {1, 1, 2}, {2, 1, 2}, {1, 2, 2}};
    ASSERT_EQ(schedule.size(), 7u);
    for (std::size_t n = 0; n < 7; ++n) {
        EXPECT_EQ(schedule[n].selector, tavoric::elastic::elastic_selector(want[n][0], want[n][1])) << n;
        EXPECT_EQ(schedule[n].key, want[n][2]) << n;
    }
    EXPECT_EQ(schedule.bound(), 122u);
    // Reaching 122 in two steps gives the same schedule; smaller needs and
    // the exceptional flag leave it alone.
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
    EXPECT_THROW(stepwise.extend(tavoric::elastic::kPhiCap + 1, 3, len_of), Panic);
}

// A capacity-0 table through its first growth and the doubling to 16 slots:
// batch index and remaining quota after each insertion.
TEST(ElasticTable, WorkedInsertionSequence) {
    auto t = map_table(0);
    const std::size_t batch[][2] = {{0, 2}, {0, 1}, {0, 0}, {1, 2}, {1, 1}, {1, 0}, {2, 0}, {1, 3}};
    const std::size_t slots[] = {8, 8, 8, 8, 8, 8, 8, 16};
    for (std::int64_t i = 1; i <= 8; ++i) {
        put_checked(t, i);
        EXPECT_EQ(t.slots(), slots[i - 1]) << i;
        EXPECT_EQ(t.batch_index(), batch[i - 1][0]) << i;
        EXPECT_EQ(t.batch_remaining(), batch[i - 1][1]) << i;
        if (i == 3) {
            EXPECT_EQ(t.level(0).occupied, 3u);  // batch 0 probes level 0 only
        }
        if (i == 6) {
            EXPECT_EQ(t.level(2).occupied, 0u);
        }
    }
    EXPECT_EQ(t.capacity(), 14u);
    for (std::int64_t i = 1; i <= 8; ++i) EXPECT_TRUE(where(t, i).has_value()) << i;
    EXPECT_FALSE(where(t, 9).has_value());
    // With k = 4 the eighth slot is usable before doubling.
    auto k4 = map_table(0, 4);
    for (std::int64_t i = 0; i < 8; ++i) put_checked(k4, i);
    EXPECT_EQ(k4.slots(), 8u);
    put_checked(k4, 8);
    EXPECT_EQ(k4.slots(), 16u);
}

TEST(ElasticTable, GrowthKeepsEveryKeyAndReplacingReturnsTheOldValue) {
    auto t = map_table(0);
    std::vector<std::size_t> slot_counts;
    for (std::int64_t i = 0; i < 3000; ++i) {
        ASSERT_TRUE(put(t, i, static_cast<std::uintptr_t>(i * 3)).has_value());
        if (slot_counts.empty() || slot_counts.back() != t.slots()) {
            slot_counts.push_back(t.slots());
            ASSERT_TRUE(invariants(t)) << i;
        }
    }
    EXPECT_EQ(slot_counts, (std::vector<std::size_t>{8, 16, 32, 64, 128, 256, 512, 1024, 2048, 4096}));
    for (std::int64_t i = 0; i < 3000; ++i) ASSERT_EQ(t.entry_at(*where(t, i)).value, static_cast<std::uintptr_t>(i * 3));
    auto old = put(t, 17, 99);
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
    put_checked(t, 1);
    put_checked(t, 2);
    ASSERT_TRUE(t.reserve(5).has_value());  // 2 + 5 = 7 fits
    EXPECT_EQ(t.slots(), 8u);
    ASSERT_TRUE(t.reserve(100).has_value());  // 102 entries: 128 slots
    EXPECT_EQ(t.slots(), 128u);
    EXPECT_TRUE(where(t, 1) && where(t, 2));
    for (std::size_t beyond : {SIZE_MAX, std::size_t{1} << 31})
        EXPECT_EQ(t.reserve(beyond).error(), TryReserveError::capacity_overflow());
    EXPECT_EQ(t.slots(), 128u);
    ASSERT_TRUE(invariants(t));
}

TEST(ElasticThreshold, Values) {
    const std::size_t values[][2] = {{2, 1},    {4, 3},     {8, 6},      {16, 12}, {32, 24}, {64, 48},
                                     {128, 96}, {256, 160}, {512, 288}, {1024, 544}, {1, 0}, {3, 2},
                                     {SIZE_MAX, SIZE_MAX / 2 + 32}, {std::size_t{1} << 62, (std::size_t{1} << 61) + 32}};
    for (auto [n, theta] : values) EXPECT_EQ(tavoric::elastic::tombstone_threshold(n), theta) << n;
}

}  // namespace
