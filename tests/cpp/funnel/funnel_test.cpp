// Funnel tables: geometry and sizing, the probe path, insertion and growth,
// removal and purges, clear, refused allocations, adversarial keys.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <random>
#include <tuple>
#include <vector>

#include "../common/random_ops.hpp"
#include "common/arena/aligned_block.hpp"
#include "common/arena/control.hpp"
#include "common/arena/membership.hpp"
#include "common/error/panic.hpp"
#include "funnel/probe.hpp"
#include "funnel/layout.hpp"
#include "funnel/table.hpp"
#include "map/table_backend.hpp"

namespace {

using namespace tavoric::funnel;
using namespace tavoric::testing;
using namespace tavoric::common::arena;
using tavoric::common::error::Panic;
using tavoric::common::error::TryBuildError;
using tavoric::common::hash::HashSeeds;
using V = std::vector<std::size_t>;
using CountedFunnel = FunnelTable<CountedKey, CountedValue>;
using Table = FunnelTable<IntKey, int>;
using SetTable = FunnelTable<IntKey, Unit>;
static_assert(tavoric::map::TableBackend<Table> && tavoric::map::TableBackend<CountedFunnel> &&
              tavoric::map::TableBackend<SetTable>);

constexpr HashSeeds kTestSeeds{0x0123456789ABCDEFULL, 0x9E3779B97F4A7C15ULL};
constexpr HashSeeds kIdentitySeeds{0, 1};  // the table hash is the cached hash itself

template <class T>
T make_table(std::size_t budget, std::uint32_t k = 3, HashSeeds seeds = kTestSeeds) { return std::move(T::try_with_insert_budget(budget, k, seeds).value()); }
// Counted key v (cached hash v) with a counted value v.
auto put(CountedFunnel& t, Ledger& ledger, std::int64_t v) { return t.insert(CountedKey(ledger, v), CountedValue(ledger, v), t.seeds().hash(v)); }
std::optional<int> put(Table& t, std::int64_t v, int value) {
    auto r = t.insert(IntKey(v), std::move(value), t.seeds().hash(v));
    EXPECT_TRUE(r.has_value());
    return r.value_or(std::nullopt);
}

template <class T>
std::optional<std::size_t> where(const T& t, std::int64_t v, std::optional<std::intptr_t> h = {}) {
    return t.find(IntKey(v, h.value_or(v)), t.seeds().hash(h.value_or(v)));
}

CountedFunnel filled(Ledger& ledger, std::size_t budget, int count) {
    CountedFunnel t = make_table<CountedFunnel>(budget);
    for (int v = 0; v < count; ++v) EXPECT_TRUE(put(t, ledger, v).has_value());
    return t;
}

// len and tombstones match the control bytes, padding stays zero, every live
// slot carries its key's fingerprint and filter bits and (keys distinct) is
// where find looks; iteration visits the live slots in ascending order.
template <class K, class Val>
void expect_invariants(const FunnelTable<K, Val>& table, bool keys_distinct = true) {
    const std::size_t n = table.inspect().slot_count();
    auto ctrl = table.inspect().control_bytes();
    auto filter = table.inspect().filter_words();
    ASSERT_EQ(std::size_t(std::count_if(ctrl.begin(), ctrl.begin() + n, [](auto c) { return is_live(c); })), table.len());
    ASSERT_EQ(std::size_t(std::count(ctrl.begin(), ctrl.begin() + n, kTombstone)), table.inspect().tombstones());
    for (std::size_t i = n; i < ctrl.size(); ++i) ASSERT_EQ(ctrl[i], 0) << "padding byte " << i;
    ASSERT_LE(table.len(), table.capacity());
    // The bucket scan relies on it: within a level's bucket nothing but
    // empties follows an empty slot.
    const auto& shape = table.inspect().shape();
    for (std::size_t l = 0; l < shape.level_count; ++l)
        for (std::size_t b = 0; b < shape.levels[l].bucket_count; ++b) {
            const auto* first = ctrl.data() + shape.levels[l].start + b * shape.bucket_width;
            const auto* gap = std::find(first, first + shape.bucket_width, kEmpty);
            ASSERT_TRUE(std::all_of(gap, first + shape.bucket_width, [](auto c) { return c == kEmpty; })) << "level " << l;
        }
    for (std::size_t i = 0; i < n; ++i) {
        if (!is_live(ctrl[i])) continue;
        const auto& entry = table.entry_at(i);
        const std::uint64_t h = table.seeds().hash(entry.key.cached_hash());
        ASSERT_EQ(ctrl[i], fingerprint_of(h)) << "slot " << i;
        auto bits = tavoric::common::arena::MembershipBits::of(h, filter.size());
        ASSERT_EQ(filter[bits.record] & bits.mask, bits.mask) << "filter bits of slot " << i;
        if (keys_distinct) { ASSERT_EQ(table.find(entry.key, h), std::optional<std::size_t>(i)) << "slot " << i; }
    }
    typename FunnelTable<K, Val>::cursor_type cursor(table.len());
    for (std::size_t i = 0; table.scan_next(cursor); i = table.cursor_location(cursor) + 1)
        ASSERT_TRUE(is_live(ctrl[table.cursor_location(cursor)]) && table.cursor_location(cursor) >= i);
    ASSERT_EQ(cursor.remaining(), 0u);
}

TEST(FunnelGeometry, AdmissibleSlotCountsForKThreeUpTo420) {
    V got;
    for (std::size_t n = 2; n <= 420; ++n)
        if (funnel_admissible(n, 3)) got.push_back(n);
    EXPECT_EQ(got, (V{144, 145, 150, 151, 156, 157, 162, 163, 168, 169, 174, 175, 180, 181, 186, 187,
                      192, 193, 199, 205, 257, 263, 269, 344, 350, 356, 357, 362, 363, 368, 369, 374,
                      375, 380, 381, 386, 387, 392, 393, 398, 399, 404, 405, 410, 411, 416, 417}));
}

TEST(FunnelGeometry, ShapesOf144And145And1142Slots) {
    constexpr std::size_t kAny = SIZE_MAX;  // not pinned
    struct {
        std::size_t slots, uniform_start, uniform_size, uniform_probes, two_start, two_buckets, two_width, budget;
        V level_buckets, first_starts;  // buckets then 1 per level up to 22 levels
    } const cases[] = {
        {144, 132, 6, 3, 138, 1, 6, 126, {}, {0, 6, 12, 18}},
        {145, 132, 7, kAny, 139, 1, kAny, 127, {}, {0, 6, 12, 18}},
        {1142, 1062, 40, 4, 1102, 5, 8, 1000, {44, 34, 26, 20, 14, 10, 7, 5, 3, 2}, {0, 264, 468, 624}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.slots);
        auto s = FunnelShape::from_slots(c.slots, 3);
        ASSERT_TRUE(s.has_value());
        V buckets = c.level_buckets, got, starts;
        buckets.resize(22, 1);
        for (std::size_t i = 0; i < s->level_count; ++i) {
            got.push_back(s->levels[i].bucket_count);
            if (i < 4) starts.push_back(s->levels[i].start);
            EXPECT_EQ(s->levels[i].threshold, tavoric::common::hash::reduction_threshold(s->levels[i].bucket_count));
        }
        EXPECT_TRUE(got == buckets && starts == c.first_starts);
        EXPECT_EQ((V{s->uniform_start, s->uniform_size, s->two_choice_start, s->two_choice_buckets, s->insert_budget,
                     c.uniform_probes == kAny ? kAny : s->uniform_probes, c.two_width == kAny ? kAny : s->two_choice_width}),
                  (V{c.uniform_start, c.uniform_size, c.two_start, c.two_buckets, c.budget, c.uniform_probes, c.two_width}));
    }
    auto plan = funnel_plan(1142, 3);
    ASSERT_TRUE(plan.has_value());
    EXPECT_EQ((V{plan->alpha, plan->beta, plan->lambda, plan->w, plan->special, plan->first_level}),
              (V{22, 6, 4, 8, 80, 44}));
    EXPECT_FALSE(funnel_plan(146, 3).has_value() || funnel_plan(1142, 2).has_value());
    EXPECT_FALSE(FunnelShape::from_slots(146, 3).has_value() || FunnelShape::from_slots(1, 3).has_value());
    EXPECT_EQ(FunnelShape::from_slots(0, 3)->level_count, 0u);
    const std::size_t purges[][2] = {{144, 104}, {344, 204}, {100, 75}, {0, 0}, {SIZE_MAX, SIZE_MAX / 2}};
    for (auto [n, t] : purges) EXPECT_EQ(purge_threshold(n), t) << n;  // 3n saturates for the largest
}

TEST(FunnelSizing, SmallestTablesBudgetsAndGrowthSequence) {
    const std::size_t cases[][4] = {  // k, target, slots, budget (0: unchecked)
        {3, 1, 144, 126}, {3, 126, 144, 126}, {3, 127, 145, 127}, {3, 1000, 1142, 1000}, {4, 1, 344, 323},
        {5, 1, 686, 665}, {6, 1, 1372, 1351}, {8, 1, 5472, 5451}, {12, 1, 109244, 0},    {27, 1, 3579139460u, 0}};
    for (auto [k, target, slots, budget] : cases) {
        auto n = smallest_admissible_slots(target, std::uint32_t(k));
        ASSERT_EQ(n, std::optional<std::size_t>(slots)) << k;
        EXPECT_LT(size_search_attempts(), 100u) << k;
        EXPECT_TRUE(budget == 0 || insert_budget_for(*n, std::uint32_t(k)) == budget) << k;
        if (k > 4) continue;
        auto t = make_table<FunnelTable<IntKey, void*>>(target, std::uint32_t(k));
        EXPECT_EQ(V({t.inspect().slot_count(), t.capacity()}), V({slots, budget}));
    }
    for (std::uint32_t k = 28; k <= 31; ++k) EXPECT_FALSE(smallest_admissible_slots(1, k).has_value()) << k;  // above 27 none fits
    V slots, budgets;
    for (std::size_t budget = 0; slots.size() < 8;) {
        auto next = next_growth_slots(budget, 3, budget + 1);
        ASSERT_TRUE(next.has_value());
        slots.push_back(*next);
        budgets.push_back(budget = insert_budget_for(*next, 3));
    }
    EXPECT_EQ(slots, (V{144, 344, 688, 1375, 2751, 5503, 11007, 22015}));
    EXPECT_EQ(budgets, (V{126, 301, 602, 1204, 2408, 4816, 9632, 19264}));
    EXPECT_FALSE(next_growth_slots(0, 3, 0x7FFFFFFF) || next_growth_slots(0, 32, 1) || next_growth_slots(0, 2, 1));
    EXPECT_EQ(next_growth_slots(0, 3, 0), std::optional<std::size_t>(0));
    // The jump search against a search of one count after another.
    auto slow_search = [](std::size_t target, std::uint32_t k) -> std::optional<std::size_t> {
        for (std::size_t n = std::max<std::size_t>((4 * k + 10) * 2 * k + 2, *minimal_slots_for_budget(target, k));
             n < 10'000'000; ++n)
            if (funnel_admissible(n, k)) return n;
        return std::nullopt;
    };
    for (std::uint32_t k = 3; k <= 6; ++k)
        for (std::size_t target = 1; target < 6000; target += (target < 200 ? 1 : 37))
            EXPECT_EQ(smallest_admissible_slots(target, k), slow_search(target, k)) << "k=" << k << " target=" << target;
    EXPECT_EQ(smallest_admissible_slots(1, 10), slow_search(1, 10));
}

TEST(FunnelSizing, ConstructionErrors) {
    const std::tuple<std::size_t, std::uint32_t, long, TryBuildError> cases[] = {  // budget, k, allocations allowed, error
        {10, 2, -1, TryBuildError::exponent_below_minimum(2, 3)}, {0, 0, -1, TryBuildError::exponent_below_minimum(0, 3)},
        {1, 28, -1, TryBuildError::capacity_overflow()},          {1, 32, -1, TryBuildError::capacity_overflow()},
        {SIZE_MAX, 3, -1, TryBuildError::capacity_overflow()},    {1, 3, 0, TryBuildError::alloc_error()},  // the level array
        {1, 3, 1, TryBuildError::alloc_error()}};                                                           // the block
    for (auto [budget, k, allowed, error] : cases) {
        auto t = with_faults(allowed, [&] { return SetTable::try_with_insert_budget(budget, k, kTestSeeds); });
        ASSERT_FALSE(t.has_value()) << budget << " " << k;
        EXPECT_EQ(t.error(), error) << budget << " " << k;
    }
    Ledger ledger;  // exponents without a table panic on the first key and release it
    for (std::uint32_t k : {28u, 29u, 40u}) {
        CountedFunnel t = make_table<CountedFunnel>(0, k);
        EXPECT_THROW((void)put(t, ledger, 1), Panic) << k;
        EXPECT_EQ(t.len() + t.capacity(), 0u);
    }
    EXPECT_TRUE(ledger.all_released_once());
    auto empty = SetTable::try_with_insert_budget(0, 40, kTestSeeds);  // no geometry needed, whatever the exponent
    ASSERT_TRUE(empty.has_value() && empty->inspect().slot_count() == 0u && !empty->find(IntKey(1), 99));
    expect_invariants(*empty);
#if !defined(__SANITIZE_ADDRESS__)
    // 3579139460 slots of 16-byte entries is about 60 GB: the system or the block bound refuses.
    auto huge = SetTable::try_with_insert_budget(1, 27, kTestSeeds);
    if (!huge.has_value()) { EXPECT_EQ(huge.error(), TryBuildError::alloc_error()); }
#endif
}

TEST(FunnelLayout, RegionsDoNotOverlapAndStayAligned) {
    for (std::size_t n : {144u, 145u, 1142u}) {
        for (auto [size, align] : {std::pair<std::size_t, std::size_t>{12, 4}, {8, 4}, {24, 8}, {16, 8}}) {
            auto l = funnel_layout(n, size, align);
            ASSERT_TRUE(l.has_value());
            EXPECT_TRUE(l->entries_offset >= n + kWideGroupPadding && l->entries_offset % align == 0 && l->records_offset >= l->entries_offset + n * size) << n;
            EXPECT_TRUE(l->records_offset % 64 + l->size % 64 == 0 && l->records * 10 >= n) << n;
            EXPECT_TRUE(l->size >= l->records_offset + 8 * l->records && l->size < l->records_offset + 8 * l->records + 64) << n;
        }
    }
    EXPECT_EQ(funnel_layout(0, 24, 8)->size, 0u);
    EXPECT_FALSE(funnel_layout(std::size_t{1} << 62, 24, 8).has_value());
    auto set = make_table<SetTable>(1000);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(set.inspect().control_bytes().data()) % 64, 0u);
}

TEST(FunnelProbePath, WorkedKeyIn1142SlotTable) {
    constexpr std::uint64_t kHash = 0x123456789ABCDEF1ULL;
    using PtrTable = FunnelTable<IntKey, void*>;
    PtrTable table = make_table<PtrTable>(1000, 3, kIdentitySeeds);
    ASSERT_EQ(table.inspect().slot_count(), 1142u);
    ASSERT_EQ(table.seeds().hash(static_cast<std::intptr_t>(kHash)), kHash);
    const ProbeKey pk = ProbeKey::of(kHash);
    EXPECT_TRUE(pk.base == 0x8CC411EA630B01DDULL && pk.mix == 0xF8EAC9DD9770E15DULL);
    const FunnelShape& s = table.inspect().shape();
    V buckets, uniform;
    for (std::size_t i = 0; i < 6; ++i)
        buckets.push_back(*pk.position(s.levels[i].selector, s.levels[i].bucket_count, s.levels[i].threshold));
    EXPECT_EQ(buckets, (V{13, 13, 23, 3, 1, 2}));
    for (std::uint64_t j = 0; j < s.uniform_probes; ++j)
        uniform.push_back(*pk.position(kUniformSelector | (j << 8), s.uniform_size, s.uniform_threshold));
    EXPECT_EQ(uniform, (V{7, 4, 14, 13}));
    EXPECT_EQ(*pk.position(kFirstChoiceSelector, s.two_choice_buckets, s.two_choice_threshold), 3u);
    EXPECT_EQ(*pk.position(kSecondChoiceSelector, s.two_choice_buckets, s.two_choice_threshold), 4u);
    const auto bits = tavoric::common::arena::MembershipBits::of(kHash, table.inspect().filter_words().size());
    EXPECT_TRUE(bits.record == 8u && bits.mask == ((std::uint64_t{1} << 49) | (std::uint64_t{1} << 56)));
    // Keys sharing the table hash fill level 0's bucket 13 (slots 78..83), then level 1's (264 + 78).
    auto key = [](std::int64_t v) { return IntKey(v, static_cast<std::intptr_t>(kHash)); };
    V slots;
    for (int v = 0; v < 8; ++v) {
        ASSERT_TRUE(table.insert(key(v), nullptr, kHash));
        slots.push_back(*table.find(key(v), kHash));
    }
    EXPECT_EQ(slots, (V{78, 79, 80, 81, 82, 83, 342, 343}));
    EXPECT_TRUE(table.inspect().control_bytes()[78] == 9 && table.inspect().filter_words()[8] == bits.mask);
    auto found = table.inspect().search(key(1), kHash, 9), vacant = table.inspect().search(key(50), kHash, 9);
    EXPECT_TRUE(found.outcome == SearchOutcome::Found && found.slot == 79u);
    EXPECT_TRUE(vacant.outcome == SearchOutcome::Vacant && vacant.slot == 344u);
    // A removed slot is the first free one on the path and is reused.
    EXPECT_EQ(table.remove(*table.find(key(2), kHash)).key.value, 2);
    EXPECT_TRUE(table.find(key(7), kHash).has_value());  // behind it
    ASSERT_TRUE(table.insert(key(50), nullptr, kHash));
    EXPECT_TRUE(*table.find(key(50), kHash) == 80u && table.inspect().tombstones() == 0u);
    expect_invariants(table);
    PtrTable empty = make_table<PtrTable>(0, 3, kIdentitySeeds);
    EXPECT_EQ(empty.inspect().search(key(1), kHash, 9).outcome, SearchOutcome::NoSlot);
}

// A key's probe path built position by position: every level's bucket, the
// uniform probes, then the two two-choice buckets in lock step.
template <class T>
V reference_path(const T& table, std::uint64_t hash) {
    const FunnelShape& s = table.inspect().shape();
    const ProbeKey pk = ProbeKey::of(hash);
    V path;
    for (std::size_t i = 0; i < s.level_count; ++i) {
        auto b = pk.position(s.levels[i].selector, s.levels[i].bucket_count, s.levels[i].threshold);
        if (!b) return {};
        for (std::size_t x = 0; x < s.bucket_width; ++x) path.push_back(s.levels[i].start + *b * s.bucket_width + x);
    }
    for (std::uint64_t j = 0; j < s.uniform_probes; ++j) {
        auto u = pk.position(kUniformSelector | (j << 8), s.uniform_size, s.uniform_threshold);
        if (!u) return {};
        path.push_back(s.uniform_start + *u);
    }
    auto b1 = pk.position(kFirstChoiceSelector, s.two_choice_buckets, s.two_choice_threshold);
    auto b2 = pk.position(kSecondChoiceSelector, s.two_choice_buckets, s.two_choice_threshold);
    if (!b1 || !b2) return {};
    for (std::size_t x = 0; x < s.two_choice_width; ++x) {
        path.push_back(s.two_choice_start + *b1 * s.two_choice_width + x);
        path.push_back(s.two_choice_start + *b2 * s.two_choice_width + x);
    }
    return path;
}

// find, inspect().search and the slot an insertion takes must answer what a
// slot-by-slot walk answers, for every bucket width k = 3..10 gives (one
// group, a group and a part, several groups), on full tables of two sizes
// with tombstones scattered over the paths. A twin filled by insert_distinct
// (through a growth) must be laid out exactly like the table filled by insert.
TEST(FunnelProbePath, FastWalksAgreeWithASlotBySlotWalk) {
    std::size_t previous_slots = 0;
    for (std::uint32_t run = 0; run < 16; ++run) {
        const std::uint32_t k = 3 + run / 2;
        const std::size_t budget = run % 2 == 0 ? 1 : 2000;
        Table table = make_table<Table>(budget, k), twin = make_table<Table>(budget, k);
        if (std::exchange(previous_slots, table.inspect().slot_count()) == table.inspect().slot_count()) continue;
        std::mt19937_64 rng(run);
        std::vector<std::int64_t> stored;
        for (std::size_t first = table.inspect().slot_count(); table.inspect().slot_count() == first || table.len() < table.capacity();) {
            stored.push_back(static_cast<std::int64_t>(rng() >> 1));
            put(table, stored.back(), 0);
            ASSERT_TRUE(twin.insert_distinct(IntKey(stored.back()), 0, twin.seeds().hash(stored.back())));
        }
        ASSERT_TRUE(std::ranges::equal(table.inspect().control_bytes(), twin.inspect().control_bytes()) && twin.len() == table.len());
        for (std::size_t i = 0; i < stored.size(); i += 5) table.remove_deferred(*where(table, stored[i]));
        ASSERT_GT(table.inspect().tombstones(), 0u);  // fewer than the purge threshold: they stay
        const auto ctrl = table.inspect().control_bytes();
        auto check = [&](std::int64_t v, bool present, bool distinct) {
            SCOPED_TRACE(::testing::Message() << "k=" << k << " budget=" << budget << " key " << v);
            IntKey key(v);
            const std::uint64_t h = table.seeds().hash(key.cached_hash());
            const std::uint8_t fp = fingerprint_of(h);
            const auto path = reference_path(table, h);
            ASSERT_FALSE(path.empty());
            std::optional<std::size_t> found, first_free;
            for (std::size_t slot : path) {
                if (ctrl[slot] == kEmpty) {
                    if (!first_free) first_free = slot;
                    break;
                }
                if (ctrl[slot] == kTombstone) {
                    if (!first_free) first_free = slot;
                } else if (ctrl[slot] == fp && table.entry_at(slot).key.value == v) {
                    found = slot;
                    break;
                }
            }
            ASSERT_EQ(found.has_value(), present);
            EXPECT_EQ(table.find(key, h), found);
            const SearchResult walk = table.inspect().search(key, h, fp);
            EXPECT_EQ(walk.outcome, found ? SearchOutcome::Found : first_free ? SearchOutcome::Vacant : SearchOutcome::NoSlot);
            if (found || first_free) { EXPECT_EQ(walk.slot, found ? *found : *first_free); }
            if (present) return;
            // An absent key goes to the path's first free slot, else the table's.
            const std::size_t expected = first_free ? *first_free : std::size_t(std::ranges::find_if(ctrl, [](auto c) { return !is_live(c); }) - ctrl.begin());
            if (distinct) ASSERT_TRUE(table.insert_distinct(IntKey(v), 1, h));
            else put(table, v, 1);
            ASSERT_EQ(table.find(key, h), std::optional<std::size_t>(expected));
            (void)table.remove_deferred(expected);
        };
        for (std::size_t i = 0; i < stored.size(); ++i) check(stored[i], i % 5 != 0, false);
        for (int i = 0; i < 2000; ++i) check(static_cast<std::int64_t>(rng() >> 1), false, i % 2 == 0);
        expect_invariants(table);
    }
}

// Keys of one fingerprint, so that a lookup compares at every live slot it
// reads, fill tables of every bucket width k = 3..10 gives, with tombstones
// on the paths: a lookup that passes the membership word compares exactly
// the keys on its probe path, in path order, up to its key or the path's
// first empty slot, and none of the other slots of the control groups it
// reads (the neighbouring buckets).
TEST(FunnelProbePath, ComparesOnlyTheKeysOnThePath) {
    std::mt19937_64 rng(5);
    auto one_fingerprint = [&] { return static_cast<std::intptr_t>((std::uint64_t{0x2A} << 57) | (rng() >> 7)); };
    for (std::uint32_t k = 3; k <= 10; ++k) {
        Table table = make_table<Table>(2000, k, kIdentitySeeds);
        std::vector<IntKey> keys;
        while (table.len() < table.capacity()) {
            keys.emplace_back(static_cast<std::int64_t>(keys.size()), one_fingerprint());
            ASSERT_TRUE(table.insert(IntKey(keys.back()), 0, static_cast<std::uint64_t>(keys.back().hash)).has_value());
        }
        for (std::size_t i = 0; i < keys.size(); i += 4) table.remove_deferred(*table.find(keys[i], static_cast<std::uint64_t>(keys[i].hash)));
        ASSERT_TRUE(table.inspect().tombstones() > 0 && !table.inspect().displaced());
        const auto ctrl = table.inspect().control_bytes();
        const auto filter = table.inspect().filter_words();
        std::size_t compared = 0;
        for (std::size_t i = 0; i < keys.size() + 1000; ++i) {
            const IntKey key = i < keys.size() ? keys[i] : IntKey(-1, one_fingerprint());
            const auto h = static_cast<std::uint64_t>(key.hash);
            std::vector<std::int64_t> seen, expected;
            std::optional<std::size_t> expected_slot;
            const auto bits = MembershipBits::of(h, filter.size());
            for (std::size_t slot : (filter[bits.record] & bits.mask) == bits.mask ? reference_path(table, h) : V{}) {
                if (ctrl[slot] == kEmpty) break;
                if (ctrl[slot] != fingerprint_of(h)) continue;
                expected.push_back(table.entry_at(slot).key.value);
                if (expected.back() == key.value) {
                    expected_slot = slot;
                    break;
                }
            }
            ASSERT_EQ(expected_slot.has_value(), i < keys.size() && i % 4 != 0);
            ASSERT_TRUE(table.find(RecordingProbe{key.value, &seen}, h) == expected_slot && seen == expected)
                << "k=" << k << " key " << key.value;
            compared += seen.size();
        }
        EXPECT_GT(compared, keys.size()) << k;
    }
}

TEST(FunnelInsert, ReserveGrowsOnceToAtLeastDoubleAndNeverShrinks) {
    Table t = make_table<Table>(1000);
    ASSERT_TRUE(t.reserve(0) && t.reserve(1000));
    EXPECT_EQ(t.inspect().slot_count(), 1142u);
    for (int v = 0; v < 10; ++v) put(t, v, v);
    ASSERT_TRUE(t.reserve(990) && t.inspect().slot_count() == 1142u && t.reserve(991));
    EXPECT_EQ(t.inspect().slot_count(), *smallest_admissible_slots(2000, 3));
    const std::size_t cap = t.capacity();
    ASSERT_TRUE(t.reserve(5000));
    EXPECT_GE(t.capacity(), std::max<std::size_t>(5010, 2 * cap));
    for (int v = 0; v < 10; ++v) EXPECT_TRUE(where(t, v).has_value());
    EXPECT_TRUE(t.reserve(SIZE_MAX).error() == TryReserveError::capacity_overflow() && t.len() == 10u);  // before any change
    expect_invariants(t);
}

TEST(FunnelRandomOperations, InvariantsAfterEveryStep) {
    const std::pair<std::uint32_t, std::intptr_t (*)(std::int64_t)> cases[] = {
        {3, [](std::int64_t v) { return std::intptr_t(v); }},
        {5, [](std::int64_t v) { return std::intptr_t(v * 0x9E3779B97F4A7C15LL); }},
        {8, [](std::int64_t v) { return std::intptr_t(v); }},
        {3, [](std::int64_t v) { return std::intptr_t(v & 7); }},  // eight hashes: fallback placement
    };
    for (auto [k, hash] : cases) {
        Ledger ledger;
        {
            CountedFunnel t = make_table<CountedFunnel>(0, k);
            random_operations(t, ledger, hash, k, 6000, 3000, 50, [](const CountedFunnel& t) { expect_invariants(t); });
        }
        EXPECT_TRUE(ledger.all_released_once()) << k;
    }
}

TEST(FunnelRemove, The105thRemovalFrom144SlotsRebuildsInPlaceAndTombstonesAreReused) {
    for (bool refuse : {false, true}) {  // a refused purge is skipped and retried by the next removal
        Ledger ledger;
        {
            CountedFunnel t = filled(ledger, 126, 126);
            ASSERT_EQ(t.inspect().slot_count(), 144u);
            const std::size_t slot = *where(t, 125);
            (void)t.remove(slot);
            ASSERT_TRUE(put(t, ledger, 125).has_value());
            EXPECT_TRUE(*where(t, 125) == slot && t.inspect().tombstones() == 0u);  // the tombstone is reused
            for (int v = 0; v < 104; ++v) EXPECT_EQ(t.remove(*where(t, v)).key.value(), v);
            EXPECT_EQ(t.inspect().tombstones(), 104u);
            expect_invariants(t);
            if (refuse) {
                (void)with_faults(0, [&] { return t.remove(*where(t, 104)); });
                EXPECT_EQ(t.inspect().tombstones(), 105u);
                expect_invariants(t);
            }
            auto last = t.remove(*where(t, refuse ? 105 : 104));
            EXPECT_EQ(V({t.inspect().tombstones(), t.inspect().slot_count(), t.inspect().displaced()}), V({0, 144, false}));
            expect_invariants(t);
            for (int v = 0; v < 126; ++v) EXPECT_EQ(where(t, v).has_value(), v >= (refuse ? 106 : 105));
            EXPECT_EQ(ledger.times_released(last.key.id()), 0);  // removed entries are the caller's
        }
        EXPECT_TRUE(ledger.all_released_once());
    }
}

TEST(FunnelRemove, DeferredRemovalsWaitForOneCheckAboveTheThresholdOnly) {
    Ledger ledger;
    CountedFunnel t = filled(ledger, 126, 126);
    const std::size_t untouched = *where(t, 120);
    for (int v = 0; v < 110; ++v) (void)t.remove_deferred(*where(t, v));
    EXPECT_TRUE(t.inspect().tombstones() == 110u && where(t, 120) == untouched);  // nothing moved
    t.finish_deferred_removals();
    EXPECT_EQ(t.inspect().tombstones(), 0u);
    expect_invariants(t);
    for (int v = 110; v < 120; ++v) (void)t.remove_deferred(*where(t, v));
    t.finish_deferred_removals();
    EXPECT_EQ(t.inspect().tombstones(), 10u);
}

TEST(FunnelClear, KeepsCapacityAndNeedsNoGrowthToRefill) {
    Ledger ledger;
    {
        CountedFunnel t = filled(ledger, 1000, 1000), empty = make_table<CountedFunnel>(0);
        for (int v = 0; v < 50; ++v) (void)t.remove(*where(t, v));
        const auto* block = t.inspect().block().base();
        t.clear();
        empty.clear();
        EXPECT_EQ(t.len() + t.inspect().tombstones() + empty.inspect().slot_count(), 0u);
        for (auto w : t.inspect().filter_words()) EXPECT_EQ(w, 0u);
        EXPECT_EQ(ledger.released_count(), static_cast<std::size_t>(ledger.created()));
        for (int v = 0; v < 1000; ++v) ASSERT_TRUE(put(t, ledger, v + 5000).has_value());
        EXPECT_TRUE(t.inspect().slot_count() == 1142u && t.inspect().block().base() == block);
        expect_invariants(t);
        CountedFunnel moved = std::move(t);  // the husk owns nothing
    }
    EXPECT_TRUE(ledger.all_released_once());
}

TEST(FunnelFailures, RefusedGrowthLeavesTheTableAsItWas) {
    for (long which : {0L, 1L}) {  // the level array, then the block
        Ledger ledger;
        {
            CountedFunnel t = filled(ledger, 126, 126);
            std::vector<std::optional<std::size_t>> before, after;
            for (int v = 0; v < 126; ++v) before.push_back(where(t, v));
            const auto* block = t.inspect().block().base();
            const std::int64_t created = ledger.created();
            EXPECT_EQ(with_faults(which, [&] { return put(t, ledger, 500); }).error(), TryReserveError::alloc_error());
            // The passed key and value are released, nothing else.
            EXPECT_EQ(V({std::size_t(ledger.times_released(created) + ledger.times_released(created + 1)), ledger.released_count()}), V({2, 2}));
            EXPECT_EQ(with_faults(which, [&] { return t.insert_distinct(CountedKey(ledger, 501), CountedValue(ledger, 501), t.seeds().hash(501)); }).error(),
                      TryReserveError::alloc_error());
            EXPECT_EQ(ledger.released_count(), 4u);
            EXPECT_EQ(t.inspect().block().base(), block);
            expect_invariants(t);
            EXPECT_FALSE(with_faults(which, [&] { return t.reserve(1000); }).has_value());
            for (int v = 0; v < 126; ++v) after.push_back(where(t, v));
            EXPECT_EQ(after, before);
            auto replaced = with_faults(0, [&] { return put(t, ledger, 3); });  // replacing needs no allocation even at full capacity
            ASSERT_TRUE(replaced.has_value() && replaced->has_value());
            ASSERT_TRUE(put(t, ledger, 500).has_value());
            EXPECT_EQ(t.inspect().slot_count(), 344u);
            expect_invariants(t);
        }
        EXPECT_TRUE(ledger.all_released_once());
    }
}

TEST(FunnelAdversarial, ConstantHashUsesFallbackAndStaysCorrect) {
    Ledger ledger;
    {
        CountedFunnel t = make_table<CountedFunnel>(0);
        const std::uint64_t h = t.seeds().hash(7);
        auto put7 = [&](std::int64_t v) { ASSERT_TRUE(t.insert(CountedKey(ledger, v, 7), CountedValue(ledger, v), h)); };
        for (int v = 0; v < 1000; ++v) {
            put7(v);
            if (v % 50 == 0) expect_invariants(t);
        }
        EXPECT_TRUE(t.inspect().displaced() && !where(t, 1000, 7));
        for (int v = 0; v < 1000; ++v) ASSERT_TRUE(where(t, v, 7).has_value()) << v;
        put7(999);  // replacing a displaced key finds it through the full scan
        EXPECT_EQ(t.len(), 1000u);
        for (int v = 0; v < 900; ++v) ASSERT_EQ(t.remove(*where(t, v, 7)).key.value(), v);  // purges use the fallback
        expect_invariants(t);
        for (int v = 900; v < 1000; ++v) ASSERT_TRUE(where(t, v, 7).has_value()) << v;
        t.clear();  // clear drops the displaced mark
        put7(1);
        EXPECT_TRUE(!t.inspect().displaced() && where(t, 1, 7).has_value());
    }
    EXPECT_TRUE(ledger.all_released_once());
}

enum class Mood { Honest, EqualToAll, EqualToNone };
Mood g_mood = Mood::Honest;

struct MoodyKey : CountedKey {  // an equality whose answers change
    MoodyKey(Ledger& ledger, std::int64_t v) : CountedKey(ledger, v, static_cast<std::intptr_t>(v % 5)) {}
    bool matches(const MoodyKey& stored) const { return g_mood == Mood::Honest ? value() == stored.value() : g_mood == Mood::EqualToAll; }
};

TEST(FunnelAdversarial, ChangingEqualityNeverLosesOrDuplicatesEntries) {
    Ledger ledger;
    {
        using Moody = FunnelTable<MoodyKey, CountedValue>;
        Moody t = make_table<Moody>(0);
        // Every unreleased object is a key or a value stored in the table, each stored key object once.
        auto conserved = [&] {
            std::set<std::int64_t> ids;
            Moody::cursor_type c(t.len());
            while (auto* e = t.scan_next(c)) ids.insert(e->key.id());
            EXPECT_TRUE(ledger.created() - std::int64_t(ledger.released_count()) == std::int64_t(2 * t.len()) && ids.size() == t.len() && ledger.none_released_twice());
            expect_invariants(t, /*keys_distinct=*/false);
        };
        auto put = [&](std::int64_t v) { ASSERT_TRUE(t.insert(MoodyKey(ledger, v), CountedValue(ledger, v), t.seeds().hash(v % 5))); };
        for (int v = 0; v < 100; ++v) put(v);
        conserved();
        g_mood = Mood::EqualToNone;  // every insertion is a new key: growth with "duplicates"
        for (int v = 0; v < 400; ++v) put(v % 100);
        conserved();
        EXPECT_EQ(t.len(), 500u);
        g_mood = Mood::EqualToAll;  // insertions replace whatever matches first
        for (int v = 0; v < 300; ++v) put(1000 + v);
        conserved();
        ASSERT_TRUE(t.reserve(t.capacity() + 1));  // rebuilds while everything compares equal keep every entry
        conserved();
        g_mood = Mood::Honest;
        for (int v = 0; v < 100; ++v)
            if (auto at = t.find(MoodyKey(ledger, v), t.seeds().hash(v % 5))) (void)t.remove(*at);
        conserved();
    }
    g_mood = Mood::Honest;
    EXPECT_TRUE(ledger.all_released_once());
}

TEST(FunnelProbe, PositionsInRangeAndRejectionRetries) {
    using tavoric::common::hash::reduction_threshold;
    using tavoric::common::hash::splitmix64_finalize;
    using tavoric::common::hash::wide_multiply;
    for (std::uint64_t m : {1ULL, 3ULL, 44ULL, 1000ULL, 0x8000000000000001ULL})
        for (std::uint64_t h = 0; h < 200; ++h)
            if (auto p = reduce_prepared_funnel_retries(h * 0x9E3779B97F4A7C15ULL, h, 0x4000000000000000ULL, m, reduction_threshold(m))) {
                EXPECT_LT(*p, m);
            }
    // With m = 2^63 + 1 almost half of all words are rejected: about half the
    // keys retry and about 1 in 256 is rejected eight times (no position).
    const std::uint64_t m = 0x8000000000000001ULL;
    int retried = 0, exhausted = 0;
    for (std::uint64_t h = 0; h < 4000; ++h) {
        const std::uint64_t mix = splitmix64_finalize(h), base = h * 3;
        if (wide_multiply(mix ^ splitmix64_finalize(base ^ (1ULL << 16)), m).low < reduction_threshold(m)) ++retried;
        auto p = reduce_prepared_funnel_retries(mix, base, 1ULL << 16, m, reduction_threshold(m));
        exhausted += !p;
        EXPECT_TRUE(!p || *p < m);
    }
    EXPECT_TRUE(retried > 1700 && retried < 2300 && exhausted > 2 && exhausted < 50) << retried << " " << exhausted;
}

}  // namespace
