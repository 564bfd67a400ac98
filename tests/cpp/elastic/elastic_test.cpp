// Elastic tests: geometry, phi and probe worked values; the table with its
// invariant check, fault injection and releases; lookups; the containers.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>
#include <random>
#include <set>
#include <tuple>
#include <type_traits>
#include <vector>

#include "../common/random_ops.hpp"
#include "common/arena/aligned_block.hpp"
#include "common/arena/control.hpp"
#include "common/error/panic.hpp"
#include "common/hash/bounded_reduction.hpp"
#include "common/hash/table_hash.hpp"
#include "elastic/geometry.hpp"
#include "elastic/phi.hpp"
#include "elastic/probe.hpp"
#include "elastic/table.hpp"
#include "map/table_backend.hpp"

namespace {

using namespace tavoric::testing;
using namespace tavoric::elastic;
using tavoric::common::arena::Unit;
using tavoric::common::error::Panic;
using tavoric::common::error::TryBuildError;
using tavoric::common::error::TryReserveError;
using tavoric::common::hash::HashSeeds;
using V = std::vector<std::size_t>;
using MapTable = ElasticTable<IntKey, std::uintptr_t>;
using CountedTable = ElasticTable<CountedKey, CountedValue>;
using IntSetTable = ElasticTable<IntKey, Unit>;
static_assert(tavoric::map::TableBackend<CountedTable> && tavoric::map::TableBackend<IntSetTable> && tavoric::map::TableBackend<MapTable>);

// Seeds {0, 1}: the table hash is the cached hash. Seeds {0, 0}: every table hash is 0.
constexpr HashSeeds kIdentitySeeds{0, 1}, kConstantSeeds{0, 0};

template <class Table = MapTable>
Table make_table(std::size_t capacity, std::uint32_t k = 3, HashSeeds seeds = kIdentitySeeds) {
    auto table = Table::try_with_capacity_and_reserve_and_hasher_in(capacity, k, seeds);
    if (!table) throw Panic(table.error().message());
    return std::move(*table);
}
std::intptr_t spread_hash(std::int64_t i) {
    return static_cast<std::intptr_t>(tavoric::common::hash::splitmix64_finalize(static_cast<std::uint64_t>(i) + 0x51));
}
IntKey key(std::int64_t i) { return IntKey(i, spread_hash(i)); }
template <class T>
std::uint64_t hash_in(const T& table, const auto& key) { return table.seeds().hash(key.cached_hash()); }
template <class T>
auto put(T& table, std::int64_t i, std::uintptr_t value = 0) { return table.insert(key(i), value, hash_in(table, key(i))); }
template <class T>
std::optional<ElasticLocation> where(const T& table, std::int64_t i) { return table.find(key(i), hash_in(table, key(i))); }
template <class T>
std::size_t total_tombstones(const T& t, std::size_t n = 0) {
    for (std::size_t i = 0; i < t.inspect().level_count(); ++i) n += t.inspect().level(i).tombstones;
    return n;
}
// Inserts counted key i (spread hash) with value i.
template <class K = CountedKey, class T>
auto insert_counted(T& t, Ledger& ledger, std::int64_t i) { return t.insert(K(ledger, i, spread_hash(i)), CountedValue(ledger, i), t.seeds().hash(spread_hash(i))); }
template <class T>
std::vector<ElasticLocation> table_order(const T& table) {
    std::vector<ElasticLocation> out;
    typename T::cursor_type cursor(table.len());
    while (table.scan_next(cursor) != nullptr) out.push_back(table.cursor_location(cursor));
    return out;
}
template <class T>
const auto& group_of(const T& t, const ElasticPreparedKey& p) {
    return t.inspect().membership()[tavoric::common::arena::MembershipBits::record_of(p.prepared, t.inspect().membership_groups())];
}
// Place of slot `at` on the walk of a prepared key (1: its primary slot), the
// walk visiting only routes whose level bit is set in `lanes`; 0: not on it.
template <class T>
std::size_t walk_position(const T& t, std::uint64_t prepared, ElasticLocation at, std::uint32_t lanes = ~0u) {
    if (at.level == 0 && elastic_probe_slot(prepared, 0, t.inspect().level(0).len) == at.slot) return 1;
    std::size_t n = 1;
    for (const auto& r : t.inspect().schedule()) {
        const std::uint32_t level = elastic_selector_level(r.selector);
        if (((lanes >> level) & 1u) && (++n, level == at.level) && elastic_probe_slot(prepared, r.selector, r.key) == at.slot) return n;
    }
    return 0;
}
std::uint64_t phi(std::uint64_t i, std::uint64_t j) { return static_cast<std::uint64_t>(elastic_phi(i, j).value()); }

#define TAVORIC_REQUIRE(cond, message) \
    if (!(cond)) return ::testing::AssertionFailure() << message

// Between operations: the schedule holds exactly the routes of phi up to its
// bound, sorted, with per-level counts; level counts agree with the control
// bytes; every key is found at its slot, has its membership bits and sits on
// its primary slot or a route past no empty probe of its level (unless
// exceptional), which lets walks drop a level at its first empty probe;
// iteration is in order.
template <class T>
::testing::AssertionResult invariants(const T& table) {
    const auto& in = table.inspect();
    const std::size_t levels = in.level_count();
    const auto& schedule = in.schedule();
    std::uint64_t previous_phi = 0;
    std::vector<std::uint32_t> per_level(ProbeSchedule::kTrackedLevels, 0);
    for (const auto& route : schedule) {
        const std::uint32_t level = elastic_selector_level(route.selector), t = (route.selector & 0xFFFF) / 8;
        TAVORIC_REQUIRE(level < levels, "route level " << level << " out of range");
        TAVORIC_REQUIRE(t == ProbeSchedule::first_probe(level) + per_level[level]++, "level " << level << " skips a probe");
        const auto code = static_cast<std::uint64_t>(*elastic_phi(level + 1, t + 1));
        TAVORIC_REQUIRE(code > previous_phi && code <= schedule.bound(), "schedule unsorted or beyond bound at " << code);
        TAVORIC_REQUIRE(route.key == in.level(level).len, "route key is not the level length");
        previous_phi = code;
    }
    std::size_t routes = 0;
    for (std::uint32_t l = 0; l < ProbeSchedule::kTrackedLevels; ++l) {
        TAVORIC_REQUIRE(schedule.level_routes(l) == per_level[l], "level " << l << " route count " << schedule.level_routes(l));
        // Ranks below the limit are exactly the level's routes (bar level 0's primary probe).
        const std::uint32_t first = kPhiOrder.first[l] + ProbeSchedule::first_probe(l);
        for (std::uint32_t r = 0; l < levels && r <= per_level[l]; ++r)
            TAVORIC_REQUIRE((kPhiOrder.rank[first + r] < schedule.rank_limit()) == (r < per_level[l]), "level " << l << " rank limit " << schedule.rank_limit());
        for (std::uint64_t j = l == 0 ? 2 : 1; l < levels && j <= kMaxProbesPerLevel && *elastic_phi(l + 1, j) <= schedule.bound(); ++j)
            ++routes;
    }
    TAVORIC_REQUIRE(schedule.size() == routes && routes <= schedule.capacity(), "schedule has " << schedule.size() << " routes, bound needs " << routes);
    std::size_t live_total = 0, slot_total = 0;
    for (std::size_t i = 0; i < levels; ++i) {
        const auto& level = in.level(i);
        slot_total += level.len;
        std::size_t live = 0, tomb = 0;
        for (std::size_t s = 0; s < level.len; ++s) {
            tomb += level.ctrl[s] == tavoric::common::arena::kTombstone;
            if (!tavoric::common::arena::is_live(level.ctrl[s])) continue;
            ++live;
            const auto& key = table.entry_at(ElasticLocation{i, s}).key;
            const std::uint64_t h = table.seeds().hash(key.cached_hash());
            const auto p = elastic_prepare(h);
            TAVORIC_REQUIRE(level.ctrl[s] == p.fingerprint && table.find(key, h) == (ElasticLocation{i, s}) && in.membership() != nullptr,
                            "key at " << i << "/" << s << " has another fingerprint, is not found there, or has no membership group");
            const auto& group = group_of(table, p);
            TAVORIC_REQUIRE((group.bloom & p.membership) == p.membership, "bloom bits missing");
            TAVORIC_REQUIRE(levels > 16 || ((group.lanes[p.prepared & 3] >> i) & 1u), "lane bit missing for level " << i);
            TAVORIC_REQUIRE(schedule.exceptional() || walk_position(table, p.prepared, {i, s}), "key at " << i << "/" << s << " on no route");
            for (std::uint32_t t = 0; !schedule.exceptional() && t < kMaxProbesPerLevel; ++t) {
                const std::size_t at = elastic_probe_slot(p.prepared, elastic_selector(static_cast<std::uint32_t>(i), t), level.len);
                if (at == s) break;
                TAVORIC_REQUIRE(level.ctrl[at] != tavoric::common::arena::kEmpty, "key at " << i << "/" << s << " past an empty probe " << t);
            }
        }
        TAVORIC_REQUIRE(live == level.occupied && tomb == level.tombstones,
                        "level " << i << " counts " << level.occupied << "/" << level.tombstones << " seen " << live << "/" << tomb);
        live_total += live;
    }
    for (std::size_t g = 0; levels > 16 && in.membership() != nullptr && g < in.membership_groups(); ++g)
        for (auto lane : in.membership()[g].lanes) TAVORIC_REQUIRE(lane == 0, "lanes used above 16 levels");
    TAVORIC_REQUIRE(slot_total == in.slots() && live_total == table.len() && table.len() <= table.capacity(),
                    "slots " << slot_total << " of " << in.slots() << ", len " << table.len() << " but " << live_total << " live");
    const auto& quotas = in.batch_quotas();
    TAVORIC_REQUIRE(quotas.empty() ? in.batch_remaining() == 0 : in.batch_index() < quotas.size() && in.batch_remaining() <= quotas[in.batch_index()],
                    "batch state outside the quotas");
    const auto order = table_order(table);
    TAVORIC_REQUIRE(order.size() == table.len(), "iteration visited " << order.size());
    for (std::size_t n = 1; n < order.size(); ++n)
        TAVORIC_REQUIRE(std::tie(order[n - 1].level, order[n - 1].slot) < std::tie(order[n].level, order[n].slot), "iteration out of order");
    return ::testing::AssertionSuccess();
}
#undef TAVORIC_REQUIRE

void put_checked(MapTable& t, std::int64_t i) {
    ASSERT_TRUE(put(t, i).has_value());
    ASSERT_TRUE(invariants(t));
}

// An 8-slot table filled to its limit of 7 (batch 1 fills the 2-slot level 1).
MapTable full_eight(std::vector<std::int64_t>* in_level1 = nullptr) {
    auto t = make_table(7);
    for (std::int64_t i = 0; t.len() < 7; ++i) EXPECT_TRUE(put(t, i, std::uintptr_t(i)).has_value());
    for (std::int64_t i = 0; in_level1 && i < 100; ++i)
        if (auto loc = where(t, i); loc && loc->level == 1) in_level1->push_back(i);
    return t;
}

// Budgets to shapes; tables built for the small ones have the same shape.
TEST(ElasticGeometry, SlotCountsLevelsAndTablesForBudgets) {
    const std::size_t top = std::size_t{1} << 31, too_big = top - (top >> 3) + 1;
    const std::size_t cases[][5] = {  // budget, k, slots, insert limit, levels
        {0, 3, 0, 0, 0},     {1, 3, 8, 7, 3},     {7, 3, 8, 7, 3},     {8, 3, 16, 14, 4},     {14, 3, 16, 14, 4},
        {15, 3, 32, 28, 5},  {28, 3, 32, 28, 5},  {29, 3, 64, 56, 6},  {100, 3, 128, 112, 7}, {1000, 3, 2048, 1792, 11},
        {4, 1, 8, 4, 3},     {5, 1, 16, 8, 4},    {9, 1, 32, 16, 5},   {8, 6, 8, 8, 3},       {9, 6, 16, 16, 4},
        {1008, 6, 1024, 1008, 10}, {1009, 6, 2048, 2016, 11}, {1, 32, 8, 8, 3}, {8, 32, 8, 8, 3}, {9, 32, 16, 16, 4},
        {8, 40, 8, 8, 3},    {1000, 40, 1024, 1024, 10}, {top, 32, top, top, 31}, {too_big - 1, 3, top, too_big - 1, 31}};
    for (auto [budget, k, slots, limit, levels] : cases) {
        auto g = ElasticGeometry::for_insert_budget(budget, std::uint32_t(k));
        ASSERT_TRUE(g.has_value()) << budget << " k " << k;
        EXPECT_EQ(V({g->slots, g->insert_limit, g->level_lengths.size(), g->batch_quotas.size()}), V({slots, limit, levels, levels})) << budget;
        if (budget > 5000) continue;
        auto t = make_table(budget, std::uint32_t(k));
        const auto& in = t.inspect();
        EXPECT_EQ(V({in.slots(), t.capacity(), in.level_count(), in.schedule().capacity(), in.batch_remaining()}),
                  V({slots, limit, levels, elastic_route_capacity(levels), slots == 0 ? 0 : g->batch_quotas[0]})) << budget << " k " << k;
        EXPECT_TRUE(invariants(t));
    }
    for (auto [budget, k] : {std::pair<std::size_t, std::uint32_t>{too_big, 3}, {top + 1, 32}, {SIZE_MAX, 1}, {1, 0}})
        EXPECT_FALSE(ElasticGeometry::for_insert_budget(budget, k).has_value()) << budget;  // k = 0: real shapes refused, zero slots valid
    EXPECT_EQ(ElasticGeometry::for_slots(8, 0).error(), ConfigError::exponent_zero());
    EXPECT_TRUE(ElasticGeometry::for_slots(0, 0).has_value());
    auto build = [](std::size_t capacity, std::uint32_t k = 3) { return MapTable::try_with_capacity_and_reserve_and_hasher_in(capacity, k, kIdentitySeeds); };
    EXPECT_EQ(build(too_big).error(), TryBuildError::capacity_overflow());
    EXPECT_EQ(build(10, 0).error(), TryBuildError::exponent_below_minimum(0, 1));
    EXPECT_THROW(make_table(too_big), Panic);
    EXPECT_THROW(make_table(SIZE_MAX, 40), Panic);
    for (long allowed = 0; allowed < 3; ++allowed) {  // schedule, arena, level array refused
        auto t = with_faults(allowed, [&] { return build(100); });
        EXPECT_TRUE(!t && t.error() == TryBuildError::alloc_error()) << allowed;
    }
    EXPECT_THROW(with_faults(1, [] { return make_table(100); }), Panic);
    auto empty = with_faults(0, [&] { return build(0); });  // capacity 0 allocates nothing and owns no arena
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->inspect().arena_base() == nullptr && !empty->find(IntKey(5, 5), 5));
}

// Worked shapes; then every usable slot count with k up to 40: levels add up to
// the slots, quotas to the insert limit, and no quota exceeds its levels' room.
TEST(ElasticGeometry, LevelLengthsAndBatchQuotas) {
    const std::tuple<std::size_t, std::uint32_t, V, V, std::size_t> rows[] = {  // slots, k, levels, quotas, limit
        {1, 3, {1}, {1}, 1}, {8, 1, {4, 2, 2}, {3, 1, 0}, 4}, {8, 3, {4, 2, 2}, {3, 3, 1}, 7}, {8, 6, {4, 2, 2}, {3, 3, 2}, 8},
        {16, 3, {8, 4, 2, 2}, {6, 5, 3, 0}, 14}, {32, 3, {16, 8, 4, 2, 2}, {12, 9, 5, 2, 0}, 28},
        {64, 3, {32, 16, 8, 4, 2, 2}, {24, 18, 9, 5, 0, 0}, 56}, {128, 3, {64, 32, 16, 8, 4, 2, 2}, {48, 36, 18, 9, 1, 0, 0}, 112},
        {1024, 3, {512, 256, 128, 64, 32, 16, 8, 4, 2, 2}, {384, 288, 144, 72, 8, 0, 0, 0, 0, 0}, 896},
        {1024, 6, {512, 256, 128, 64, 32, 16, 8, 4, 2, 2}, {384, 316, 158, 79, 40, 20, 10, 1, 0, 0}, 1008},
        {10, 3, {5, 3, 1, 1}, {}, 0}};  // quotas and limit unchecked
    for (const auto& [slots, k, levels, quotas, limit] : rows) {
        auto g = ElasticGeometry::for_slots(slots, k);
        ASSERT_TRUE(g.has_value());
        EXPECT_EQ(V(g->level_lengths.begin(), g->level_lengths.end()), levels) << slots << " k " << k;
        EXPECT_TRUE(limit == 0 || (V(g->batch_quotas.begin(), g->batch_quotas.end()) == quotas && g->insert_limit == limit)) << slots << " k " << k;
    }
    const std::tuple<std::size_t, std::size_t, V> splits[] = {{10, 4, {5, 3, 1, 1}}, {12, 4, {6, 3, 2, 1}}, {5, 1, {5}}};
    for (const auto& [slots, levels, want] : splits) {
        V out;
        for (LevelLengths it(slots, levels); auto len = it.next();) out.push_back(*len);
        EXPECT_EQ(out, want) << slots;
    }
    const auto largest = ElasticGeometry::for_slots(std::size_t{1} << 31, 3)->level_lengths;  // 31 levels, 2^30 down to 4, 2, 2
    EXPECT_EQ((V{largest.size(), largest[0], largest[28], largest[29], largest[30]}), (V{31, std::size_t{1} << 30, 4, 2, 2}));
    for (std::uint32_t k = 1; k <= 40; ++k)
        for (std::size_t s = 0; s <= (std::size_t{1} << 31); s = s == 0 ? 8 : s * 2) {
            auto g = ElasticGeometry::for_slots(s, k);
            ASSERT_TRUE(g.has_value() && g->batch_quotas.size() == g->level_lengths.size());
            std::size_t level_sum = 0, quota_sum = 0;
            for (std::size_t i = 0; i < g->level_lengths.size(); ++i) {
                level_sum += g->level_lengths[i];
                quota_sum += g->batch_quotas[i];
                ASSERT_LE(g->batch_quotas[i], g->level_lengths[i] + (i == 0 ? 0 : g->level_lengths[i - 1] / 4));
            }
            ASSERT_EQ(V({level_sum, quota_sum, g->insert_limit}), V({s, g->insert_limit, k >= 32 ? s : s - (s >> k)})) << s << " k " << k;
        }
}

TEST(ElasticPhi, WorkedValuesErrorsCapacitiesAndInjectivity) {
    const std::uint64_t values[][3] = {{1, 1, 13}, {1, 2, 57},  {1, 3, 61},  {1, 4, 233}, {2, 1, 26},
                                       {3, 1, 27}, {2, 2, 114}, {3, 2, 115}, {2, 3, 122}, {4, 1, 52}};
    for (auto [i, j, code] : values) EXPECT_EQ(phi(i, j), code) << i << "," << j;
    EXPECT_TRUE(elastic_phi(0, 0).error() == PhiError::zero(PhiCoordinate::I) && elastic_phi(5, 0).error() == PhiError::zero(PhiCoordinate::J));
    const u128 j63 = (u128{1} << 63) - 1;  // 2 * 63 + 1 + 1 = 128 bits fits; one more bit of i does not
    EXPECT_TRUE(static_cast<std::uint64_t>(*elastic_phi(1, j63) >> 127) == 1u && elastic_phi(2, j63).error() == PhiError::overflow());
    EXPECT_FALSE(elastic_phi(1, u128{1} << 64).has_value() || elastic_phi64(1, std::uint64_t{1} << 31).has_value());  // 65-bit code
    EXPECT_EQ(elastic_phi64(2, 3), std::optional<std::uint64_t>{122});
    const std::uint64_t max_probe[][3] = {{1, 1, 383}, {2, 3, 255}, {4, 7, 191}, {8, 15, 127}, {16, 31, 95}};
    for (auto [from, to, j] : max_probe)
        for (std::uint64_t i = from; i <= to; ++i) EXPECT_EQ(elastic_max_probe(i), j) << i;
    EXPECT_TRUE(phi(1, 383) <= kPhiCap && phi(1, 384) > kPhiCap);
    const std::size_t capacity[][2] = {{0, 0}, {1, 382}, {2, 637}, {3, 892}, {4, 1083}, {10, 2037}, {16, 2767}, {31, 4192}};
    for (auto [levels, routes] : capacity) EXPECT_EQ(elastic_route_capacity(levels), routes) << levels;
    for (std::size_t levels = 0; levels <= 32; ++levels) EXPECT_EQ(elastic_route_capacity(levels), elastic_route_capacity_counted(levels));
    std::set<std::uint64_t> seen;  // injective and increasing in j
    for (std::uint64_t i = 1; i <= 40; ++i)
        for (std::uint64_t j = 1, prev = 0; j <= 600; prev = phi(i, j++)) ASSERT_TRUE(phi(i, j) > prev && seen.insert(phi(i, j)).second) << i << "," << j;
    static_assert(kMaxProbeNumber < (1u << 16));  // placement reports probe numbers below 2^16; the loop-free form agrees there
    for (std::uint64_t i = 1; i <= 33; ++i)
        for (std::uint64_t j = 1; j < (std::uint64_t{1} << 16); ++j)
            ASSERT_EQ(elastic_phi_small(i, j), static_cast<std::uint64_t>(*elastic_phi(i, j))) << i << "," << j;
}

TEST(ElasticProbe, PreparedKeysFingerprintsAndSlots) {
    const auto p = elastic_prepare(0), ones = elastic_prepare(~std::uint64_t{0});
    EXPECT_EQ(V({p.fingerprint, p.prepared, p.membership, ones.fingerprint, ones.prepared}),
              V({1, 0x0BD2DB2E48789D20ULL, (std::uint64_t{1} << 32) | (std::uint64_t{1} << 46), 127, 0xA3EEE151577B38E9ULL}));
    const std::size_t slots[2][4] = {{1, 3, 2, 2}, {0, 0, 0, 1}};  // levels of 4 and 2 slots
    for (std::uint32_t t = 0; t < 4; ++t)
        EXPECT_EQ(V({elastic_probe_slot(p.prepared, elastic_selector(0, t), 4), elastic_probe_slot(p.prepared, elastic_selector(1, t), 2)}),
                  V({slots[0][t], slots[1][t]})) << t;
    EXPECT_EQ(V({elastic_prepare(1ULL << 57).fingerprint, elastic_prepare(2ULL << 57).fingerprint, elastic_prepare(0x7FULL << 57).fingerprint}), V({1, 2, 127}));
    EXPECT_TRUE(elastic_selector(0, 5) == 40u && elastic_probe_slot(0xFFFF, 123, 1) == 0u);  // no shift by 64 for a level of one slot
    std::mt19937_64 rng(11);
    for (int i = 0; i < 20000; ++i) {  // the slot is the top bits of the mix
        const std::uint64_t H = rng();
        const auto selector = static_cast<std::uint32_t>(rng());
        const unsigned bits = static_cast<unsigned>(i % 32);
        const std::size_t top = bits == 0 ? 0 : elastic_probe_mix(H, selector) >> (64 - bits);
        ASSERT_EQ(elastic_probe_slot(H, selector, std::size_t{1} << bits), top);
        if (bits != 0) {  // a table's level: one shift
            ASSERT_EQ(elastic_probe_slot_shifted(H, selector, elastic_level_shift(std::size_t{1} << bits)), top);
        }
    }
}

// Control bytes of all levels, then entries, then membership groups, each
// region after the previous one; the block is 64-aligned.
TEST(ElasticTable, ArenaRegionsFollowEachOtherWithoutOverlap) {
    auto check = [](const auto& t) {
        using Entry = typename std::remove_cvref_t<decltype(t)>::entry_type;
        const auto& in = t.inspect();
        const auto& layout = in.layout();
        const std::byte* base = in.arena_base();
        const auto at = [base](const void* p) { return std::size_t(reinterpret_cast<const std::byte*>(p) - base); };
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(base) % 64 + layout.size % 64 + layout.entries_offset % alignof(Entry), 0u);
        std::size_t before = 0;
        for (std::size_t i = 0; i < in.level_count(); before += in.level(i++).len)
            EXPECT_EQ(V({at(in.level(i).ctrl), at(in.level(i).entries)}), V({before, layout.entries_offset + before * sizeof(Entry)})) << i;
        EXPECT_TRUE(layout.entries_offset >= in.slots() && layout.records_offset >= layout.entries_offset + in.slots() * sizeof(Entry));
        EXPECT_TRUE(at(in.membership()) == layout.records_offset && in.membership_groups() * 10 >= in.slots());  // ten slots per group
    };
    for (std::size_t capacity : {7u, 100u, 1000u}) check(make_table(capacity)), check(make_table<IntSetTable>(capacity));
    EXPECT_TRUE(elastic_layout(10, 12, 4)->entries_offset == 12u && elastic_layout(0, 24, 8)->size == 0u);  // 12-byte records aligned to 4
    EXPECT_EQ(elastic_layout(SIZE_MAX / 8, 24, 8).error(), TryReserveError::alloc_error());
}

// The first placement needing phi = 122 in an 8-slot table (levels 4, 2, 2);
// in two steps the same, and smaller needs or the exceptional flag change nothing.
TEST(ElasticSchedule, ExtensionToPhi122) {
    auto len_of = [](std::size_t l) { return l == 0 ? std::size_t{4} : std::size_t{2}; };
    ProbeSchedule schedule, stepwise;
    ASSERT_TRUE(schedule.try_reserve(elastic_route_capacity(3)).has_value() && stepwise.try_reserve(892).has_value() && schedule.capacity() == 892u);
    schedule.extend(122, 3, len_of);
    stepwise.extend(57, 3, len_of);
    EXPECT_EQ(stepwise.size(), 3u);
    stepwise.mark_exceptional();
    stepwise.extend(122, 3, len_of);
    stepwise.extend(100, 3, len_of);
    ASSERT_EQ(V({schedule.size(), schedule.bound(), stepwise.size(), stepwise.bound(), stepwise.exceptional()}), V({7, 122, 7, 122, true}));
    const std::uint32_t want[][3] = {{1, 0, 2}, {2, 0, 2}, {0, 1, 4}, {0, 2, 4}, {1, 1, 2}, {2, 1, 2}, {1, 2, 2}};
    for (std::size_t n = 0; n < 7; ++n) {
        const std::size_t selector = elastic_selector(want[n][0], want[n][1]);
        EXPECT_EQ(V({schedule[n].selector, schedule[n].key, stepwise[n].selector, stepwise[n].key}), V({selector, want[n][2], selector, want[n][2]})) << n;
    }
    stepwise.extend(kPhiCap, 3, len_of);  // the whole cap fits the reserved capacity exactly
    EXPECT_EQ(stepwise.size(), 892u);
    EXPECT_THROW(stepwise.extend(kPhiCap + 1, 3, len_of), Panic);
}

// Slots, batch index and remaining quota after each insertion into a
// capacity-0 table, through its first growth; reserve.
TEST(ElasticTable, WorkedInsertionSequenceGrowthAndReserve) {
    auto t = make_table(0), k4 = make_table(0, 4), r = make_table(0);
    const std::size_t after[][3] = {{8, 0, 2}, {8, 0, 1}, {8, 0, 0}, {8, 1, 2}, {8, 1, 1}, {8, 1, 0}, {8, 2, 0}, {16, 1, 3}};
    for (std::int64_t i = 1; i <= 8; ++i) {
        put_checked(t, i);
        EXPECT_EQ(V({t.inspect().slots(), t.inspect().batch_index(), t.inspect().batch_remaining()}), V(after[i - 1], after[i - 1] + 3)) << i;
        EXPECT_TRUE(i != 3 || t.inspect().level(0).occupied == 3u);  // batch 0 probes level 0 only
        EXPECT_TRUE(i != 6 || t.inspect().level(2).occupied == 0u);
    }
    EXPECT_TRUE(t.capacity() == 14u && !where(t, 9));
    for (std::int64_t i = 0; i < 9; ++i) {  // with k = 4 the eighth slot is usable before doubling
        put_checked(k4, i);
        EXPECT_EQ(k4.inspect().slots(), i < 8 ? 8u : 16u);
    }
    const std::size_t reserves[][2] = {{0, 0}, {1, 8}, {5, 8}, {100, 128}};  // additional, slots; two keys after the second
    for (auto [additional, slots] : reserves) {
        ASSERT_TRUE(r.reserve(additional).has_value());
        EXPECT_EQ(r.inspect().slots(), slots) << additional;
        for (std::int64_t i = 1; additional == 1 && i <= 2; ++i) put_checked(r, i);
    }
    for (std::size_t beyond : {SIZE_MAX, std::size_t{1} << 31}) EXPECT_EQ(r.reserve(beyond).error(), TryReserveError::capacity_overflow());
    EXPECT_TRUE(r.inspect().slots() == 128u && invariants(r));
}

TEST(ElasticRemoval, TombstoneThresholds) {
    const std::size_t values[][2] = {{2, 1},     {4, 3},      {8, 6}, {16, 12}, {32, 24}, {64, 48}, {128, 96}, {256, 160},
                                     {512, 288}, {1024, 544}, {1, 0}, {3, 2},   {SIZE_MAX, SIZE_MAX / 2 + 32}, {std::size_t{1} << 62, (std::size_t{1} << 61) + 32}};
    for (auto [n, theta] : values) EXPECT_EQ(tombstone_threshold(n), theta) << n;
    auto t = make_table(1000);  // the 545th tombstone of a 1024-slot level rebuilds; the 544th does not
    ASSERT_EQ(t.inspect().level(0).len, 1024u);
    std::vector<std::int64_t> level0;
    for (std::int64_t i = 0; i < 1200; ++i) ASSERT_TRUE(put(t, i).has_value());
    for (std::int64_t i = 0; i < 1200; ++i)
        if (where(t, i)->level == 0) level0.push_back(i);
    ASSERT_GE(level0.size(), 545u);
    for (std::size_t n = 0; n < 544; ++n) t.remove(*where(t, level0[n]));
    EXPECT_EQ(t.inspect().level(0).tombstones, 544u);
    t.remove(*where(t, level0[544]));
    EXPECT_EQ(V({total_tombstones(t), t.len(), t.inspect().slots()}), V({0, 1200 - 545, 2048}));
    EXPECT_TRUE(invariants(t));
}

TEST(ElasticRemoval, BoundsReuseTheTwoSlotLevelAndDeferredRemoval) {
    auto t = make_table(7);
    ASSERT_TRUE(put(t, 42, 42).has_value());
    const auto loc = *where(t, 42);
    for (ElasticLocation bad : {ElasticLocation{3, 0}, ElasticLocation{0, 4}, ElasticLocation{loc.level, loc.slot == 0 ? std::size_t{1} : 0}})
        EXPECT_THROW((void)t.remove(bad), Panic);
    EXPECT_EQ(t.remove(loc).value, 42u);  // removal leaves the batch state alone
    EXPECT_TRUE(t.inspect().level(loc.level).ctrl[loc.slot] == tavoric::common::arena::kTombstone && t.inspect().batch_remaining() == 2u);
    put_checked(t, 42);  // reuses the tombstone
    // A second tombstone in a 2-slot level (theta 1) rebuilds; with the memory
    // refused the tombstones stay until the closing check.
    for (bool refuse : {false, true}) {
        std::vector<std::int64_t> in_level1;
        auto t = full_eight(&in_level1);
        ASSERT_EQ(in_level1.size(), 2u);
        (void)t.remove(*where(t, in_level1[0]));
        EXPECT_EQ(t.inspect().level(1).tombstones, 1u);
        EXPECT_EQ(with_faults(refuse ? 0 : -1, [&] { return t.remove(*where(t, in_level1[1])); }).key.value, in_level1[1]);
        EXPECT_TRUE(total_tombstones(t) == (refuse ? 2u : 0u) && invariants(t));
        t.finish_deferred_removals();  // five moved entries: batch 0 takes three, batch 1 the next two
        EXPECT_EQ(V({total_tombstones(t), t.inspect().batch_index(), t.inspect().batch_remaining()}), V({0, 1, 1}));
        ASSERT_TRUE(invariants(t));
    }
    auto full = full_eight();  // a full table keeps inserting in its last batch after a removal from level 0 (theta 3)
    std::int64_t victim = 0;
    while (!where(full, victim) || where(full, victim)->level != 0) ++victim;
    (void)full.remove(*where(full, victim));
    put_checked(full, 1000);
    EXPECT_EQ(V({full.inspect().batch_index(), full.inspect().batch_remaining(), full.inspect().slots()}), V({2, 0, 8}));
    // Deferred removal of everything through a cursor: the walk is undisturbed,
    // the tombstones wait for the closing check, which leaves any under threshold.
    auto d = full_eight();
    const auto before = table_order(d);
    std::vector<ElasticLocation> visited;
    for (MapTable::cursor_type cursor(d.len()); d.scan_next(cursor) != nullptr; (void)d.remove_deferred(visited.back()))
        visited.push_back(d.cursor_location(cursor));
    EXPECT_TRUE(visited == before && total_tombstones(d) == 7u && invariants(d));
    d.finish_deferred_removals();
    EXPECT_EQ(total_tombstones(d), 0u);
    ASSERT_TRUE(put(d, 1).has_value());
    (void)d.remove_deferred(*where(d, 1));
    d.finish_deferred_removals();
    EXPECT_EQ(total_tombstones(d), 1u);
}

TEST(ElasticRemoval, ClearResetsBatchScheduleAndFilters) {
    auto t = make_table(100), empty = make_table(0);
    for (std::int64_t i = 0; i < 90; ++i) ASSERT_TRUE(put(t, i).has_value());
    ASSERT_GT(t.inspect().batch_index() * t.inspect().schedule().size(), 0u);
    t.clear();
    const auto& in = t.inspect();
    EXPECT_EQ(V({t.len(), in.slots(), in.batch_index(), in.schedule().size(), in.schedule().bound(), in.schedule().exceptional()}), V({0, 128, 0, 0, 0, false}));
    for (std::size_t g = 0; g < in.membership_groups(); ++g)
        EXPECT_TRUE(in.membership()[g].bloom == 0 && std::ranges::all_of(in.membership()[g].lanes, [](auto lane) { return lane == 0; })) << g;
    EXPECT_TRUE(invariants(t) && !where(t, 5));
    empty.clear();  // clearing an empty table keeps its capacity
    EXPECT_EQ(empty.capacity() + empty.inspect().batch_remaining(), 0u);
}

TEST(ElasticReleases, RefusedGrowthLeavesTheTableAsItWas) {
    Ledger ledger;
    {
        auto t = make_table<CountedTable>(7);
        for (std::int64_t i = 0; i < 7; ++i) ASSERT_TRUE(insert_counted(t, ledger, i).has_value());
        const auto order = table_order(t);
        // Growth to 16 slots asks for a larger schedule, the arena, then the level array;
        // refuse each (a grown schedule is kept, so round two reaches the arena).
        for (long allowed : {0L, 0L, 1L}) {
            const std::int64_t first_id = ledger.created();
            auto r = with_faults(allowed, [&] { return insert_counted(t, ledger, 100); });
            EXPECT_TRUE(!r && r.error() == TryReserveError::alloc_error());
            EXPECT_EQ(ledger.times_released(first_id) + ledger.times_released(first_id + 1), 2);  // the offered key and value
            EXPECT_TRUE(t.inspect().slots() == 8u && table_order(t) == order && invariants(t));
        }
        for (std::size_t additional : {100u, 1000u}) {
            EXPECT_FALSE(with_faults(0, [&] { return t.reserve(additional); }).has_value());
            EXPECT_EQ(table_order(t), order);
        }
        const std::int64_t offered = ledger.created();  // a refused distinct placement releases its pair too
        EXPECT_FALSE(with_faults(0, [&] { return t.insert_distinct(CountedKey(ledger, 100, spread_hash(100)), CountedValue(ledger, 100), t.seeds().hash(spread_hash(100))); }).has_value());
        EXPECT_TRUE(ledger.times_released(offered) + ledger.times_released(offered + 1) == 2 && table_order(t) == order);
        ASSERT_TRUE(insert_counted(t, ledger, 100).has_value());
        EXPECT_TRUE(t.inspect().slots() == 16u && invariants(t));
    }
    EXPECT_TRUE(ledger.all_released_once());
}

// A key whose moves can be made to fail, to interrupt a rebuild halfway.
struct FragileKey : CountedKey {
    static inline long moves_left = -1;  // the move that finds it 0 fails; negative: none
    using CountedKey::CountedKey;
    FragileKey(FragileKey&& other) : CountedKey(std::move(other)) {
        if (moves_left >= 0 && moves_left-- == 0) tavoric::common::error::panic("injected move failure");
    }
    FragileKey& operator=(FragileKey&&) = default;
    bool matches(const FragileKey& stored) const { return value() == stored.value(); }
};

// An interrupted rebuild leaves a consistent table holding the moved entries;
// the guard releases the ones still in the old arena.
TEST(ElasticReleases, InterruptedRebuildReleasesWhatWasNotMoved) {
    Ledger ledger;
    {
        auto t = make_table<ElasticTable<FragileKey, CountedValue>>(100);
        for (std::int64_t i = 0; i < 100; ++i) ASSERT_TRUE(insert_counted<FragileKey>(t, ledger, i).has_value());
        FragileKey::moves_left = 61;
        EXPECT_THROW((void)t.reserve(1000), Panic);
        FragileKey::moves_left = -1;
        EXPECT_TRUE(t.inspect().slots() == 2048u && t.len() > 0 && t.len() < 100 && ledger.none_released_twice()) << t.len();
        ASSERT_TRUE(invariants(t));
        for (std::int64_t i = 100; i < 200; ++i) ASSERT_TRUE(insert_counted<FragileKey>(t, ledger, i).has_value());
        ASSERT_TRUE(invariants(t));
    }
    EXPECT_TRUE(ledger.all_released_once());
}

// Hash policies that concentrate keys; nothing may be lost, duplicated,
// corrupted or released twice.
TEST(ElasticRandomOperations, InvariantsAfterEveryStepUnderAdversarialHashes) {
    const std::tuple<const char*, std::intptr_t (*)(std::int64_t), int> policies[] = {  // name, hash, check every
        {"spread", [](std::int64_t i) { return spread_hash(i); }, 1},
        {"constant", [](std::int64_t) { return std::intptr_t{42}; }, 25},
        {"sixteen values", [](std::int64_t i) { return static_cast<std::intptr_t>(i & 15); }, 25},
        {"high bits only", [](std::int64_t i) { return static_cast<std::intptr_t>(static_cast<std::uint64_t>(i) << 48); }, 1},
        {"low bits only", [](std::int64_t i) { return static_cast<std::intptr_t>(i & 0xFF); }, 1},
        {"negative", [](std::int64_t i) { return static_cast<std::intptr_t>(-1 - (i & 7)); }, 25}};
    for (const auto& [name, hash, check_every] : policies)
        for (auto seeds : {kIdentitySeeds, HashSeeds{0x1234, 0x9E3779B97F4A7C15ULL}}) {
            SCOPED_TRACE(name);
            Ledger ledger;
            {
                auto t = make_table<CountedTable>(0, 3, seeds);
                random_operations(t, ledger, hash, 7, 1500, 400, check_every, [](const CountedTable& t) { ASSERT_TRUE(invariants(t)); });
            }
            EXPECT_TRUE(ledger.all_released_once());
        }
}

// Probe keys equal to a stored key, with another hash of the same fingerprint
// whose walk reaches the stored slot past the primary one and in a recorded
// lane: found with the key's bloom bits present, absent without them.
TEST(ElasticLookup, KeyWithoutMembershipBitsIsAbsentAfterThePrimaryCheck) {
    auto t = make_table(7);
    for (std::int64_t i = 0; i < 7; ++i) ASSERT_TRUE(put(t, i).has_value());
    ASSERT_TRUE(t.inspect().schedule().size() > 0 && !t.inspect().schedule().exceptional());
    const auto& group = t.inspect().membership()[0];
    int hidden = 0, walked = 0;
    for (std::int64_t i = 0; i < 7 && (hidden == 0 || walked == 0); ++i) {
        const auto home = *where(t, i);
        const std::uint64_t top = hash_in(t, key(i)) & (std::uint64_t{0x7F} << 57);
        for (std::uint64_t low = 1; low < 200000 && (hidden == 0 || walked == 0); ++low) {
            const std::uint64_t h = top | (splitmix64_finalize(low) >> 7);
            const auto p = elastic_prepare(h);
            if (walk_position(t, p.prepared, home, group.lanes[p.prepared & 3]) < 2) continue;
            const bool filtered_out = (group.bloom & p.membership) != p.membership;
            EXPECT_EQ(t.find(IntKey(i, static_cast<std::intptr_t>(h)), h).has_value(), !filtered_out);
            ++(filtered_out ? hidden : walked);
        }
    }
    EXPECT_TRUE(hidden > 0 && walked > 0) << hidden << " " << walked;
}

// Above 16 levels (65536 slots) no lanes are kept and every route is probed
// (the invariant check sees no lane bit set); sixteen levels still record lanes.
TEST(ElasticLookup, NoLanesAboveSixteenLevels) {
    auto big = make_table(100000), lanes = make_table(50000);
    ASSERT_EQ(V({big.inspect().slots(), big.inspect().level_count(), lanes.inspect().level_count()}), V({131072, 17, 16}));
    for (std::int64_t i = 0; i < 3000; ++i) ASSERT_TRUE(put(big, i, std::uintptr_t(i)).has_value());
    ASSERT_TRUE(invariants(big));  // finds every key
    for (std::int64_t i = 0; i < 3000; ++i) ASSERT_FALSE(where(big, i + 1'000'000).has_value()) << i;
    ASSERT_TRUE(put(lanes, 1).has_value());
    const auto p = elastic_prepare(hash_in(lanes, key(1)));
    EXPECT_EQ(group_of(lanes, p).lanes[p.prepared & 3], 1u);
}

// With both seeds 0 every key shares one probe sequence; a 512-slot level
// offers it at most 383 probes, fewer than batch 0's 384 placements, so a key
// is placed exceptionally and still found. With the same-size rebuild refused
// the key goes straight to the exceptional slot. Growth keeps working.
TEST(ElasticExceptional, ConstantHashForcesExceptionalPlacement) {
    for (bool refuse : {false, true}) {
        auto t = make_table(1000, 6, kConstantSeeds);
        ASSERT_EQ(t.inspect().slots(), 1024u);
        bool seen_exceptional = false;
        for (std::int64_t i = 0; i < 520; ++i) {
            ASSERT_TRUE(with_faults(refuse ? 0 : -1, [&] { return t.insert(key(i), std::uintptr_t(i), 0); }).has_value()) << i;
            seen_exceptional = seen_exceptional || t.inspect().schedule().exceptional();
            ASSERT_TRUE(t.find(IntKey(i, 0), 0).has_value()) << i;
            ASSERT_TRUE(i % 64 != 0 || invariants(t)) << i;
        }
        EXPECT_TRUE(seen_exceptional && !t.find(IntKey(5000, 0), 0) && invariants(t));
        for (std::int64_t i = 0; i < 520; ++i) ASSERT_EQ(t.entry_at(*t.find(IntKey(i, 0), 0)).value, std::uintptr_t(i));
    }
    auto t = make_table(1000, 6, kConstantSeeds);
    for (std::int64_t i = 0; i < 1100; ++i) ASSERT_TRUE(t.insert(IntKey(i, 0), std::uintptr_t(i), 0).has_value());
    EXPECT_TRUE(t.inspect().slots() == 2048u && invariants(t));  // every key found
}

// Matches every stored key whose value is in [from, 1000).
struct AtLeast {
    std::int64_t from;
    std::intptr_t hash;
    std::intptr_t cached_hash() const noexcept { return hash; }
    bool matches(const IntKey& stored) const { return stored.value >= from && stored.value < 1000; }
};

// The reference: primary slot, then every route of the schedule in order, no
// filter, then (after an exceptional placement) every slot in table order.
template <class Q>
std::optional<ElasticLocation> plain_walk(const MapTable& t, const Q& key) {
    const auto p = elastic_prepare(t.seeds().hash(key.cached_hash()));
    auto matches = [&](std::size_t l, std::size_t s) {
        return t.inspect().level(l).ctrl[s] == p.fingerprint && key.matches(t.inspect().level(l).entries[s].key);
    };
    const auto p0 = elastic_probe_slot(p.prepared, elastic_selector(0, 0), t.inspect().level(0).len);
    if (matches(0, p0)) return ElasticLocation{0, p0};
    for (const auto& route : t.inspect().schedule()) {
        const std::uint32_t l = elastic_selector_level(route.selector);
        const auto slot = elastic_probe_slot(p.prepared, route.selector, route.key);
        if (matches(l, slot)) return ElasticLocation{l, slot};
    }
    for (std::size_t l = 0; t.inspect().schedule().exceptional() && l < t.inspect().level_count(); ++l)
        for (std::size_t s = 0; s < t.inspect().level(l).len; ++s)
            if (matches(l, s)) return ElasticLocation{l, s};
    return std::nullopt;
}

// Random tables (grown from a quarter of their size; full, or a few levels
// used of 17), before and after removing every third key and inserting more
// over the tombstones: every lookup finds what the plain walk finds, and a
// twin fed by insert_distinct holds every key where insert put it. Then keys
// of one hash sharing every probe, where a probe matching several must get
// the first on the walk, also once so many share it that one is placed
// exceptionally.
TEST(ElasticLookupWalk, FindsWhatThePlainWalkFinds) {
    std::mt19937_64 rng(7);
    const std::tuple<std::size_t, std::size_t, bool> shapes[] = {{12, 50, true}, {225, 900, true}, {5000, 20000, true}, {100000, 30000, false}};
    for (std::uint32_t k : {1u, 3u, 6u})
        for (auto [built, count, full] : shapes) {
            const HashSeeds seeds{rng(), rng() | 1};
            auto t = make_table(built, k, seeds), twin = make_table(built, k, seeds);
            std::vector<IntKey> keys;
            auto add = [&](std::size_t n) {
                for (std::size_t i = 0; i < n || (full && t.len() < t.capacity()); ++i) {
                    keys.emplace_back(static_cast<std::int64_t>(keys.size()), static_cast<std::intptr_t>(rng()));
                    ASSERT_TRUE(t.insert(IntKey(keys.back()), 1, hash_in(t, keys.back())).has_value() && twin.insert_distinct(keys.back(), 1, hash_in(t, keys.back())).has_value());
                }
            };
            auto check = [&](std::size_t removed_below) {
                ASSERT_EQ(V({t.len(), t.inspect().slots()}), V({twin.len(), twin.inspect().slots()}));
                for (const IntKey& key : keys) {
                    const bool removed = std::size_t(key.value) < removed_below && key.value % 3 == 0;
                    auto found = t.find(key, hash_in(t, key));
                    ASSERT_TRUE(found.has_value() != removed && found == plain_walk(t, key) && found == twin.find(key, hash_in(t, key))) << key.value;
                }
                for (int i = 0; i < 2000; ++i) {
                    IntKey absent(-1 - i, static_cast<std::intptr_t>(rng()));
                    ASSERT_FALSE(t.find(absent, hash_in(t, absent)).has_value());
                }
            };
            add(count);
            check(0);
            const std::size_t first = keys.size();
            for (std::size_t i = 0; i < first; i += 3) {
                (void)t.remove(*t.find(keys[i], hash_in(t, keys[i])));
                (void)twin.remove(*twin.find(keys[i], hash_in(t, keys[i])));
            }
            check(first);
            add(first / 3);
            check(first);
        }
    for (int count : {6, 12, 24, 700}) {
        auto t = make_table(4000);
        const std::intptr_t hash = spread_hash(99);
        for (std::int64_t i = 0; i < 3500; ++i) ASSERT_TRUE(t.insert(IntKey(i + 1000, spread_hash(i)), 1, spread_hash(i)));
        for (std::int64_t v = 0; v < count; ++v) ASSERT_TRUE(t.insert(IntKey(v, hash), 1, hash).has_value());
        ASSERT_EQ(t.inspect().schedule().exceptional(), count == 700);
        for (std::int64_t from = 0; from < count; ++from) {
            auto found = t.find(AtLeast{from, hash}, t.seeds().hash(hash));
            ASSERT_TRUE(found.has_value() && found == plain_walk(t, AtLeast{from, hash})) << "count " << count << " from " << from;
        }
    }
}

// The keys a lookup of table hash h compares, in order, by the rules the walks
// share, spelled out route by route: the primary slot; past it only with the
// membership bits in the group, every route of a level that holds entries
// (and is in the key's lane where lanes are kept) until the level shows an
// empty probe (never, after an exceptional placement), then after an
// exceptional placement every slot in table order. Also how many levels
// the walk began with, and whether a walk past the schedule's end would
// compare one key more: a miss that leaves the schedule with a level still
// walked whose next probe, the first one no route holds, reads the
// fingerprint and is the nearest in phi order.
struct Comparisons {
    std::vector<std::int64_t> seen;
    int walked = 0;
    bool one_past_the_end_compares = false;
};
Comparisons schedule_comparisons(const MapTable& t, std::uint64_t h, std::int64_t target) {
    const auto& in = t.inspect();
    const auto p = elastic_prepare(h);
    std::vector<std::int64_t> seen;
    auto compare = [&](std::size_t l, std::size_t s) {
        if (in.level(l).ctrl[s] != p.fingerprint) return false;
        seen.push_back(in.level(l).entries[s].key.value);
        return seen.back() == target;
    };
    const std::size_t p0 = elastic_probe_slot(p.prepared, 0, in.level(0).len);
    const auto& group = group_of(t, p);
    if (compare(0, p0) || (group.bloom & p.membership) != p.membership) return {seen};
    const bool exceptional = in.schedule().exceptional();
    std::uint32_t levels = 0;
    for (std::size_t l = 0; l < in.level_count(); ++l) levels |= std::uint32_t{in.level(l).occupied != 0} << l;
    if (in.level_count() <= 16) levels &= group.lanes[p.prepared & 3];
    if (!exceptional && in.level(0).ctrl[p0] == tavoric::common::arena::kEmpty) levels &= ~1u;
    const int walked = std::popcount(levels);
    for (const auto& route : in.schedule()) {
        const std::uint32_t l = elastic_selector_level(route.selector);
        if (((levels >> l) & 1u) == 0) continue;
        const std::size_t s = elastic_probe_slot(p.prepared, route.selector, route.key);
        if (compare(l, s)) return {seen, walked};
        if (!exceptional && in.level(l).ctrl[s] == tavoric::common::arena::kEmpty) levels &= ~(1u << l);
    }
    for (std::size_t l = 0; exceptional && l < in.level_count(); ++l)
        for (std::size_t s = 0; in.level(l).occupied != 0 && s < in.level(l).len; ++s)
            if (compare(l, s)) return {seen, walked};
    Comparisons result{seen, walked};
    // Each level still walked has its first unscheduled probe next; the
    // nearest of those in phi order is where a walk past the end would go.
    std::uint32_t nearest_rank = kNoPhiRank, nearest_level = 0, nearest_probe = 0;
    for (std::uint32_t l = 0; l < in.level_count(); ++l) {
        const std::uint32_t t = ProbeSchedule::first_probe(l) + in.schedule().level_routes(l);
        const std::uint32_t rank = kPhiOrder.rank[kPhiOrder.first[l] + t];
        if (((levels >> l) & 1u) != 0 && rank < nearest_rank) std::tie(nearest_rank, nearest_level, nearest_probe) = std::tuple{rank, l, t};
    }
    if (!exceptional && nearest_rank == in.schedule().rank_limit()) {
        const auto& level = in.level(nearest_level);
        result.one_past_the_end_compares =
            level.ctrl[elastic_probe_slot(p.prepared, elastic_selector(nearest_level, nearest_probe), level.len)] == p.fingerprint;
    }
    return result;
}

// Every key of one fingerprint, so that a lookup compares at every live
// position it examines: stored and absent keys compare exactly the keys the
// route-by-route walk compares, in its order, on tables whose lookups walk
// one to four levels (merged) or more, fresh, with tombstones, and after an
// exceptional placement (keys of one hash until one has no usable probe).
// Some merged misses must end at the schedule's end where one probe more
// would compare: they hold the walk's stop at the schedule's rank limit.
TEST(ElasticLookupWalk, ComparesKeysInTheScheduleOrder) {
    std::mt19937_64 rng(11);
    auto same_fingerprint = [&] { return static_cast<std::intptr_t>((std::uint64_t{0x2A} << 57) | (rng() >> 7)); };
    std::size_t walked[3][6] = {};  // fresh, tombstones, exceptional; by levels walked (5: more than four)
    std::size_t merged_walks_to_the_end = 0;  // with a comparison one probe past it
    const std::pair<std::size_t, std::size_t> shapes[] = {{60, 60}, {700, 700}, {6000, 6000}, {40000, 40000}, {100000, 100000}, {100000, 118000}};
    for (auto [built, count] : shapes) {  // 17 levels, no lanes, for 100000
        auto t = make_table(built, 3, kIdentitySeeds);
        std::vector<IntKey> keys;
        std::vector<bool> gone;
        auto add = [&](std::intptr_t hash) {
            keys.emplace_back(static_cast<std::int64_t>(keys.size()), hash);
            gone.push_back(false);
            return t.insert(IntKey(keys.back()), 1, hash_in(t, keys.back())).has_value();
        };
        auto check = [&](int phase) {
            for (std::size_t i = 0; i < keys.size() + 1000; i += i < keys.size() ? 1 + keys.size() / 3000 : 1) {
                const IntKey key = i < keys.size() ? keys[i] : IntKey(-1, same_fingerprint());
                std::vector<std::int64_t> seen;
                const auto found = t.find(RecordingProbe{key.value, &seen}, hash_in(t, key));
                const auto [expected, levels, one_past] = schedule_comparisons(t, hash_in(t, key), key.value);
                ASSERT_TRUE(found.has_value() == (i < keys.size() && !gone[i]) && seen == expected)
                    << "phase " << phase << " table " << built << " key " << key.value;
                ++walked[phase][std::min(levels, 5)];
                merged_walks_to_the_end += one_past && levels <= 4;
            }
        };
        while (t.len() < std::min(count, t.capacity())) ASSERT_TRUE(add(same_fingerprint()));
        check(0);
        for (std::size_t i = 0; i < keys.size(); i += 3) {
            (void)t.remove(*t.find(keys[i], hash_in(t, keys[i])));
            gone[i] = true;
        }
        ASSERT_GT(total_tombstones(t), 0u);
        check(1);
        // Nearly full again, so that the same-size rebuild before the
        // exceptional placement leaves entries on many levels.
        while (t.len() + 200 < t.capacity()) ASSERT_TRUE(add(same_fingerprint()));
        const std::intptr_t shared = same_fingerprint();
        for (int n = 0; n < 5000 && !t.inspect().schedule().exceptional(); ++n) ASSERT_TRUE(add(shared));
        ASSERT_TRUE(t.inspect().schedule().exceptional()) << built;
        check(2);
    }
    for (int phase = 0; phase < 3; ++phase)
        for (int levels = 1; levels <= 5; ++levels) EXPECT_GT(walked[phase][levels], 0u) << phase << " " << levels;
    EXPECT_GT(merged_walks_to_the_end, 0u);
}

// Tables filled to their insert limit (fill 1 - delta), k = 1 to 10: lookups
// stay shallow (O(1) amortised, O(log 1/delta) worst case, wide margins) and the
// filter turns most misses away; catches a schedule or lane bug walking too far.
TEST(ElasticProbeStatistics, FullTablesStayShallow) {
    const std::size_t slots = std::size_t{1} << 14;
    for (std::uint32_t k = 1; k <= 10; ++k) {
        const std::size_t limit = tavoric::common::arena::insert_budget_for(slots, k);
        auto t = make_table(limit, k);
        for (std::size_t i = 0; i < limit; ++i) ASSERT_TRUE(put(t, std::int64_t(i)).has_value());
        ASSERT_EQ(t.inspect().slots(), slots);
        ASSERT_TRUE(invariants(t));
        std::size_t total = 0, worst = 0, passed = 0;
        for (std::size_t i = 0; i < limit; ++i) {  // slots the lane-restricted walk examines up to the key
            const auto p = elastic_prepare(hash_in(t, key(std::int64_t(i))));
            const std::size_t n = walk_position(t, p.prepared, *where(t, std::int64_t(i)), group_of(t, p).lanes[p.prepared & 3]);
            ASSERT_GT(n, 0u) << "key " << i << " off its lane-restricted walk";
            total += n;
            worst = std::max(worst, n);
        }
        for (std::int64_t id = 10'000'000; id < 10'020'000; ++id) {
            ASSERT_FALSE(where(t, id).has_value());
            const auto p = elastic_prepare(hash_in(t, key(id)));
            passed += (group_of(t, p).bloom & p.membership) == p.membership;
        }
        EXPECT_LT(double(total) / double(limit), 2.0 + 1.5 * k) << "k " << k;  // about linear in log2(1/delta)
        EXPECT_LT(worst, 50u * (k + 1)) << "k " << k;
        EXPECT_LT(passed, 5000u) << "k " << k;  // under a quarter of 20000 misses
    }
}

}  // namespace
