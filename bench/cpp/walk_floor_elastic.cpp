// The floor of the Elastic probe walk, in instructions per operation: the
// counterpart of walk_floor.cpp for the other design.
//
// An Elastic lookup checks the primary slot (level 0, probe 0), then the
// key's membership group, then walks the schedule (every (level, probe)
// pair in phi order) over the levels that hold entries, dropping a level at
// its first empty probe; an insertion makes that walk, then probes one or
// two levels by the batch rules until a slot is not live, and writes there.
// Reproducing which route comes next (the schedule walk or the merged walk
// over few levels, the level set, the batch rules) would be the table's own
// code, not a floor. So the floor here is a recorded-positions floor: at
// setup, for every key the measured loops use, the selectors of the exact
// positions the table's walk examines are recorded (a flat array with
// offsets, the same for every operation and count), and the measured floor
// does per key only the design's arithmetic for those positions: the table
// hash, elastic_prepare, and for each recorded selector the slot by
// elastic_probe_slot_shifted, the control-byte load and the fingerprint
// compare (a BenchKey compared inline where it matches), the membership-group
// test after the primary probe, and, for an insertion, the live test of each
// placement probe and the writes at the chosen slot (control byte, entry,
// membership bits, lane bits where the table keeps lanes, length). It
// stops where the real walk stops because the recorded list ends there.
//
// Left out, besides the scheduling itself: the level-set arithmetic (live
// levels, lanes, dropping levels at empty probes), the occupancy, live-level
// and batch bookkeeping of a store, schedule extensions, tombstone handling
// (the tables have none), exceptional placement and full scans (checked to
// be off), growth and rebuilds (none happen), error paths, the out-of-line
// key comparison a Python key needs, and the layers above HashMap. The real
// rows go through map::HashMap as the Python classes do.
//
// How the positions are recorded, and checked (any mismatch stops the
// program). A replay of find_by_exact_schedule / find_past_primary (whose
// merged walk over at most four levels visits the same positions in the same
// phi order) lists them through inspect(). To hold that replay against the
// table's own code, the table's find runs on a twin table (same seeds, same
// keys, checked byte for byte) with an observing probe, which notes every
// stored key it is compared with: for hits and misses of the lookup table,
// every live control byte of the twin is first set to the key's fingerprint
// (keys grouped by fingerprint, bytes restored afterwards), so the real walk
// compares at every live position it examines, and those must be, in order,
// exactly the recorded positions that hold an entry. Empty positions are
// not compared at, so each recorded empty one is checked on its own (given a
// foreign key with the fingerprint, the real walk must compare there, right
// after the live positions recorded before it), and a miss's list must not
// end before every level it may use has shown an empty probe or run out of
// routes. Not checked: an empty position the real walk examines that the
// replay left out while also recording one of its level's later probes
// (the replay never records past a level's first empty probe, and checks
// for that would restate it). A hit's last recorded position is find()'s
// slot. The floor walks then run once over every list, counting
// positions: a hit ends at find()'s entry, every list is walked to its end.
// For insertions the lists are recorded while the insertions are replayed on
// a twin: the lookup part as above (the observing find on every insertion
// with the bytes as they are, and on every kRewriteEvery-th one with every
// live byte at the key's scheduled positions set to its fingerprint and its
// empty positions checked one by one), the
// placement part by replaying choose_slot's batch rule, held against the
// table's own choose_slot / probe_vacancy and against the slot the twin's
// insert then takes. The floor insertions, run once on a scratch copy,
// must take those slots and leave the twin's control bytes, entries and
// membership groups.
//
// Fill from empty (what copy() does with insert_distinct, a constructor
// with insert): a new table built as the Python classes build one for
// exactly n (reserve exponent 3) gets the n stored keys in stored order,
// through HashMap::insert_distinct (elastic_fill_distinct) or HashMap::insert
// (elastic_fill_insert, which searches first). Here the floor is not
// recorded: the placement's positions follow from the batch rule over the
// occupancy the fill itself builds, and that rule is the design's, so
// elastic_floor_fill computes it. Per key: the table hash, elastic_prepare,
// the move to the next batch with quota left, the batch rule with the
// shape's quotas, level lengths, reserve shares and usable probe counts
// taken from inspect() once (batch 0: level 0's probes in order; batch b:
// the next level once the current one is down to its reserve share, the
// current one once the next is three quarters full, else the current
// level's probe budget, then the next level), each probe's slot and the
// live test of its control byte, and the writes at the first vacant slot:
// control byte, entry, membership bits (lane bit where the table keeps lanes;
// a table of n = 100000 has 17 levels and none), the level's occupancy, the
// length and the batch's remaining count, into a zeroed arena of its own
// shaped like the table's block. Left out: schedule extension and the phi
// code of the chosen probe that decides it (lookup bookkeeping: placement
// never reads the schedule; the setup counts the placements that extend
// it), the phi cap test (the uniform walks stop at the level's usable probe
// count, which keeps them within the cap, and with reserve exponent 3 the
// budgeted probes, at most 24, stay below every level's usable count; every
// slot is checked anyway), the
// live-levels word (lookup bookkeeping too), the growth test (a table built
// for n takes n), the tombstone test of a store (a new table has none),
// exceptional placement and rebuilds (the program stops if the fill needs
// one), error paths and the layers above HashMap. These rows count 0 or n
// keys; both runs build the same empty table and arena and make the same
// checks, so (total(n) - total(0)) / n is the cost per entry. Checked at
// setup on twins with the same seeds (any mismatch stops the program): the
// floor fill puts every key at the slot insert_distinct gives it, on a
// twin arena; afterwards control bytes, live entries, membership groups,
// each level's occupancy, length, batch index and remaining count agree;
// a third twin filled through insert ends with the same control bytes,
// membership groups, schedule size, length and batch counters.
//
// Usage: tavoric_walk_floor_elastic <operation> <count>, operation one of
// elastic_find_hit, elastic_floor_hit, elastic_find_miss, elastic_floor_miss,
// elastic_insert_new, elastic_floor_insert (count <= 50000), or
// elastic_fill_distinct, elastic_floor_fill, elastic_fill_insert (count 0 or
// 100000). Setup: the same keys as walk_floor.cpp, a table built as the
// Python classes build it for n = 100000 (reserve exponent 3) holding them,
// one built for n + 50000 holding them for the insertions, and the empty
// fill table and arena. bench/cpp/walk_floor.sh runs it.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "bench_keys.hpp"
#include "common/arena/control.hpp"
#include "common/arena/membership.hpp"
#include "common/hash/table_hash.hpp"
#include "elastic/geometry.hpp"
#include "elastic/layout.hpp"
#include "elastic/probe.hpp"
#include "elastic/table.hpp"
#include "map/hash_map.hpp"
#include "walk_floor_common.hpp"

namespace {

namespace arena = tavoric::common::arena;
namespace elastic = tavoric::elastic;
using tavoric::bench::BenchKey;
using tavoric::bench::walk::die;
using tavoric::bench::walk::kN;
using tavoric::bench::walk::kNone;
using tavoric::bench::walk::kRoom;
using tavoric::bench::walk::run;
using Value = std::uint64_t;
using Table = elastic::ElasticTable<BenchKey, Value>;
using Map = tavoric::map::HashMap<BenchKey, Value, Table>;
using Entry = arena::SlotEntry<BenchKey, Value>;
using Loc = elastic::ElasticLocation;
using Seeds = tavoric::common::hash::HashSeeds;

constexpr std::size_t kMaxLevels = 32, kRewriteEvery = 25;

Map make_map(std::size_t budget, Seeds seeds = Seeds::fresh()) {
    auto t = Table::try_with_capacity_and_reserve_and_hasher_in(budget, 3, seeds);
    if (!t) die("Elastic table refused");
    return Map(std::move(*t));
}

void fill(Map& m, const std::vector<std::uint64_t>& keys) {
    for (std::size_t i = 0; i < keys.size(); ++i)
        if (!m.insert(BenchKey{keys[i]}, i + 1)) die("insert refused memory", i);
}

// Per key i, the selectors sel[off[i]] .. sel[off[i + 1] - 1].
struct Lists {
    std::vector<std::uint32_t> sel;
    std::vector<std::size_t> off{0};
    void close() { off.push_back(sel.size()); }
    const std::uint32_t* begin(std::size_t i) const { return sel.data() + off[i]; }
    const std::uint32_t* end(std::size_t i) const { return sel.data() + off[i + 1]; }
};

// What a walk reads of one level, and of the whole table.
struct LevelView {
    std::uint8_t* ctrl = nullptr;
    Entry* entries = nullptr;
    unsigned shift = 63;
    std::size_t len = 0;
};
struct View {
    std::uint64_t seed = 0, fold = 0;
    const elastic::MembershipGroup* groups = nullptr;
    std::size_t records = 0, levels = 0;
    bool lanes = false;
    LevelView level[kMaxLevels];

    explicit View(const Table& t) {
        const auto in = t.inspect();
        seed = t.seeds().table;
        fold = t.seeds().fold;
        groups = in.membership();
        records = in.membership_groups();
        levels = in.level_count();
        lanes = levels <= elastic::kMaxLaneLevels;
        if (groups == nullptr || levels == 0 || levels > kMaxLevels) die("unexpected Elastic shape");
        if (in.schedule().exceptional()) die("an exceptional placement: walks would not stop at empty probes");
        for (std::size_t l = 0; l < levels; ++l) {
            const auto& lv = in.level(l);
            if (lv.tombstones != 0) die("a table with tombstones");
            level[l] = {lv.ctrl, lv.entries, lv.shift, lv.len};
        }
    }
    // The (level, slot) of a recorded selector for a prepared hash.
    Loc at(std::uint64_t H, std::uint32_t s) const {
        const std::size_t l = elastic::elastic_selector_level(s);
        return {l, elastic::elastic_probe_slot_shifted(H, s, level[l].shift)};
    }
};

struct Replayed {
    bool passed = false, merged = false, found = false;
    Loc at{};
};

// The table's lookup walk for key (table hash h), replayed through
// inspect(): appends the selector of every position it examines.
Replayed record_lookup(const Table& t, std::uint64_t key, std::uint64_t h, std::vector<std::uint32_t>& out) {
    const auto in = t.inspect();
    const auto p = elastic::elastic_prepare(h);
    Replayed r;
    const auto& first = in.level(0);
    const std::size_t p0 = elastic::elastic_probe_slot_shifted(p.prepared, elastic::elastic_selector(0, 0), first.shift);
    out.push_back(elastic::elastic_selector(0, 0));
    const std::uint8_t primary = first.ctrl[p0];
    if (primary == p.fingerprint && first.entries[p0].key.value == key) return {false, false, true, Loc{0, p0}};
    const auto& g = in.membership()[arena::MembershipBits::record_of(p.prepared, in.membership_groups())];
    if ((g.bloom & p.membership) != p.membership) return r;
    r.passed = true;
    std::uint32_t level_set = 0;
    for (std::size_t l = 0; l < in.level_count(); ++l)
        if (in.level(l).occupied != 0) level_set |= std::uint32_t{1} << l;
    if (in.level_count() <= elastic::kMaxLaneLevels) level_set &= g.lanes[p.prepared & 3];
    if (primary == arena::kEmpty) level_set &= ~std::uint32_t{1};
    r.merged = std::popcount(level_set) <= 4;
    for (const elastic::PhiRoute& route : in.schedule()) {
        if (level_set == 0) break;
        const std::uint32_t l = elastic::elastic_selector_level(route.selector);
        if (((level_set >> l) & 1u) == 0) continue;
        const std::size_t slot = elastic::elastic_probe_slot(p.prepared, route.selector, route.key);
        out.push_back(route.selector);
        const std::uint8_t c = in.level(l).ctrl[slot];
        if (c == p.fingerprint && in.level(l).entries[slot].key.value == key) {
            r.found = true;
            r.at = {l, slot};
            return r;
        }
        if (c == arena::kEmpty) level_set &= ~(std::uint32_t{1} << l);
    }
    return r;
}

// The batch rule of choose_slot for the next insertion into t, replayed
// after the batch advance insert_for_vacant_entry_prepared makes: appends
// the selectors of the probes it makes, up to the slot it chooses, and
// returns that slot. The table's own choose_slot (and probe_vacancy, for the
// budgeted probes on the current level) must agree. `extends` counts
// choices beyond the schedule's bound (the store then extends the schedule).
Loc record_placement(const Table& t, std::uint64_t H, std::vector<std::uint32_t>& out, std::size_t& extends) {
    const auto in = t.inspect();
    const auto& quotas = in.batch_quotas();
    std::size_t b = in.batch_index(), remaining = in.batch_remaining();
    while (remaining == 0 && b + 1 < quotas.size()) remaining = quotas[++b];
    const elastic::PlacementChoice choice = t.choose_slot(H, b);
    if (choice.probe == 0) die("an insertion without a scheduled slot (rebuild or exceptional placement)");
    extends += choice.phi > in.schedule().bound();
    auto probes = [&out](std::size_t level, std::size_t n) {
        for (std::size_t j = 0; j < n; ++j)
            out.push_back(elastic::elastic_selector(static_cast<std::uint32_t>(level), static_cast<std::uint32_t>(j)));
    };
    std::size_t level = 0;
    if (b != 0) {
        const std::size_t c = b - 1, x = b;
        const auto &cur = in.level(c), &next = in.level(x);
        const std::size_t free_c = cur.len > cur.occupied ? cur.len - cur.occupied : 0;
        const std::size_t free_x = next.len > next.occupied ? next.len - next.occupied : 0;
        if (free_c <= elastic::elastic_reserve_share(cur.len, t.reserve_exponent())) {
            level = x;
        } else if (4 * free_x <= next.len) {
            level = c;
        } else {
            const std::size_t q = cur.len / free_c + (cur.len % free_c != 0 ? 1 : 0);
            const std::size_t beta = q <= 1 ? 0 : static_cast<std::size_t>(std::bit_width(q - 1));
            const std::size_t budget = std::min<std::size_t>(beta * beta, t.reserve_exponent());
            level = t.probe_vacancy(H, c, 8 * budget).probe != 0 ? c : x;
            if (level == x) probes(c, 8 * budget);
        }
    }
    if (choice.level != level) die("the replayed batch rule chose another level than choose_slot");
    probes(level, choice.probe);
    if (elastic::elastic_probe_slot_shifted(H, out.back(), in.level(level).shift) != choice.slot)
        die("the replayed placement ends elsewhere than choose_slot");
    return {choice.level, choice.slot};
}

// A probe for the table's own find that notes the entry of every stored key
// it is compared with and matches only its own key.
struct Observer {
    std::uint64_t key;
    std::vector<const BenchKey*>* seen;
    bool matches(const BenchKey& stored) const {
        seen->push_back(&stored);
        return stored.value == key;
    }
};

// Runs t's find for key with an Observer: the keys it compares must be,
// in order, exactly the recorded positions whose control byte now equals
// the key's fingerprint, and its answer the replay's. With `empties`, each
// recorded empty position is then checked on its own: it gets a stored key
// that is not the probe's and the key's fingerprint, and the real walk must
// compare there right after the recorded live positions before it (the
// walk goes on differently afterwards: the level no longer stops there).
void check_observed(const Table& t, const View& v, std::uint64_t key, std::uint64_t h, const std::uint32_t* sel,
                    const std::uint32_t* end, const Replayed& r, std::size_t i, bool empties) {
    static std::vector<const BenchKey*> seen, expected;
    const auto p = elastic::elastic_prepare(h);
    auto observe = [&]() {
        seen.clear();
        return t.find(Observer{key, &seen}, h);
    };
    const auto found = observe();
    if (found.has_value() != r.found || (found && *found != r.at)) die("the table's find disagrees with the replay", i);
    expected.clear();
    for (const std::uint32_t* s = sel; s != end; ++s) {
        const Loc at = v.at(p.prepared, *s);
        if (v.level[at.level].ctrl[at.slot] == p.fingerprint) expected.push_back(&v.level[at.level].entries[at.slot].key);
    }
    if (seen != expected) die("the table's walk compares elsewhere than the recorded positions", i);
    if (!empties) return;
    std::size_t live_before = 0;
    for (const std::uint32_t* s = sel; s != end; ++s) {
        const Loc at = v.at(p.prepared, *s);
        std::uint8_t& c = v.level[at.level].ctrl[at.slot];
        Entry& e = v.level[at.level].entries[at.slot];
        if (c == p.fingerprint) {
            ++live_before;
            continue;
        }
        if (c != arena::kEmpty) continue;
        unsigned char saved[sizeof(Entry)];
        std::memcpy(saved, static_cast<void*>(&e), sizeof(Entry));
        e.key.value = ~key;
        c = p.fingerprint;
        observe();
        c = arena::kEmpty;
        std::memcpy(static_cast<void*>(&e), saved, sizeof(Entry));
        if (seen.size() <= live_before || seen[live_before] != &e.key ||
            !std::equal(expected.begin(), expected.begin() + static_cast<std::ptrdiff_t>(live_before), seen.begin()))
            die("the table's walk does not examine a recorded empty position where recorded", i);
    }
}

// A miss past the membership group ends only once each level it may use
// (holding entries, and admitted by the key's lane where lanes are kept)
// has shown an empty probe or run out of scheduled routes: a list that ends
// earlier lacks positions (an empty one the observation above cannot see).
void check_closed(const Table& t, const View& v, std::uint64_t h, const std::uint32_t* sel, const std::uint32_t* end,
                  std::size_t i) {
    const auto in = t.inspect();
    const auto p = elastic::elastic_prepare(h);
    const auto& g = v.groups[arena::MembershipBits::record_of(p.prepared, v.records)];
    if ((g.bloom & p.membership) != p.membership) return;
    std::size_t count[kMaxLevels] = {};
    bool empty[kMaxLevels] = {};
    for (; sel != end; ++sel) {
        const Loc at = v.at(p.prepared, *sel);
        ++count[at.level];
        empty[at.level] = v.level[at.level].ctrl[at.slot] == arena::kEmpty;
    }
    for (std::size_t l = 0; l < v.levels; ++l) {
        if (in.level(l).occupied == 0 || (v.lanes && ((g.lanes[p.prepared & 3] >> l) & 1u) == 0)) continue;
        if (!empty[l] && count[l] != in.schedule().level_routes(static_cast<std::uint32_t>(l)) + (l == 0))
            die("a recorded miss stops before a level it may use has shown an empty probe", i);
    }
}

// Every control byte and membership group of two tables equal.
bool same_state(const Table& a, const Table& b) {
    const auto x = a.inspect(), y = b.inspect();
    if (x.level_count() != y.level_count() || x.membership_groups() != y.membership_groups() ||
        x.schedule().size() != y.schedule().size() ||
        std::memcmp(x.membership(), y.membership(), x.membership_groups() * sizeof(elastic::MembershipGroup)) != 0)
        return false;
    for (std::size_t l = 0; l < x.level_count(); ++l)
        if (x.level(l).len != y.level(l).len || std::memcmp(x.level(l).ctrl, y.level(l).ctrl, x.level(l).len) != 0)
            return false;
    return true;
}

// The lookup part of both floors, from the prepared hash: the primary probe
// (always the first recorded position), the membership test, the other
// recorded positions.
template <bool Stats>
[[gnu::always_inline]] inline Entry* walk_recorded(const View& v, const elastic::ElasticPreparedKey& p,
                                                   const std::uint32_t* sel, const std::uint32_t* end,
                                                   std::uint64_t key, std::size_t* seen) {
    const LevelView& first = v.level[0];
    const std::size_t p0 = elastic::elastic_probe_slot_shifted(p.prepared, elastic::elastic_selector(0, 0), first.shift);
    if constexpr (Stats) ++*seen;
    if (first.ctrl[p0] == p.fingerprint && first.entries[p0].key.value == key) return &first.entries[p0];
    const auto& g = v.groups[arena::MembershipBits::record_of(p.prepared, v.records)];
    if ((g.bloom & p.membership) != p.membership) return nullptr;
    for (++sel; sel != end; ++sel) {
        const LevelView& lv = v.level[elastic::elastic_selector_level(*sel)];
        const std::size_t slot = elastic::elastic_probe_slot_shifted(p.prepared, *sel, lv.shift);
        if constexpr (Stats) ++*seen;
        if (lv.ctrl[slot] == p.fingerprint && lv.entries[slot].key.value == key) return &lv.entries[slot];
    }
    return nullptr;
}

template <bool Stats>
[[gnu::always_inline]] inline Entry* floor_find(const View& v, const std::uint32_t* sel, const std::uint32_t* end,
                                                std::uint64_t key, std::size_t* seen = nullptr) {
    const std::uint64_t h = tavoric::common::hash::table_hash(static_cast<std::intptr_t>(key), v.seed, v.fold);
    return walk_recorded<Stats>(v, elastic::elastic_prepare(h), sel, end, key, seen);
}

// The state a floor insertion writes: copies of the table's control bytes
// and entries per level, its membership groups and length.
struct Scratch {
    std::vector<std::vector<std::uint8_t>> ctrl;
    std::vector<std::vector<Entry>> entries;
    std::vector<elastic::MembershipGroup> groups;
    std::size_t len = 0;
    View view;

    explicit Scratch(const Table& t) : view(t) {
        const auto in = t.inspect();
        groups.assign(in.membership(), in.membership() + in.membership_groups());
        for (std::size_t l = 0; l < view.levels; ++l) {
            const auto& lv = in.level(l);
            ctrl.emplace_back(lv.ctrl, lv.ctrl + lv.len);
            entries.emplace_back();
            entries.back().reserve(lv.len);
            for (std::size_t s = 0; s < lv.len; ++s)
                entries.back().emplace_back(BenchKey{arena::is_live(lv.ctrl[s]) ? lv.entries[s].key.value : 0},
                                            arena::is_live(lv.ctrl[s]) ? Value{lv.entries[s].value} : 0);
            view.level[l].ctrl = ctrl.back().data();
            view.level[l].entries = entries.back().data();
        }
        view.groups = groups.data();
        len = t.len();
    }
};

// The insertion floor: the recorded lookup walk (an equal key would get the
// value), then the recorded placement probes to the first slot that is not
// live, and the writes there. Returns level << 32 | slot.
template <bool Stats>
[[gnu::always_inline]] inline std::uint64_t floor_insert(Scratch& sc, const Lists& look, const Lists& place,
                                                         std::size_t i, std::uint64_t key, Value value,
                                                         std::size_t* seen = nullptr, std::size_t* placed = nullptr) {
    const View& v = sc.view;
    const std::uint64_t h = tavoric::common::hash::table_hash(static_cast<std::intptr_t>(key), v.seed, v.fold);
    const auto p = elastic::elastic_prepare(h);
    if (Entry* e = walk_recorded<Stats>(v, p, look.begin(i), look.end(i), key, seen)) [[unlikely]] {
        e->value = value;
        return ~std::uint64_t{0};
    }
    for (const std::uint32_t *s = place.begin(i), *end = place.end(i); s != end; ++s) {
        const std::uint32_t l = elastic::elastic_selector_level(*s);
        const LevelView& lv = v.level[l];
        const std::size_t slot = elastic::elastic_probe_slot_shifted(p.prepared, *s, lv.shift);
        if constexpr (Stats) ++*placed;
        if (arena::is_live(lv.ctrl[slot])) continue;
        lv.ctrl[slot] = p.fingerprint;
        lv.entries[slot].key.value = key;
        lv.entries[slot].value = value;
        elastic::MembershipGroup& g = sc.groups[arena::MembershipBits::record_of(p.prepared, v.records)];
        g.bloom |= p.membership;
        if (v.lanes) g.lanes[p.prepared & 3] = static_cast<std::uint16_t>(g.lanes[p.prepared & 3] | (1u << (l % 16)));
        ++sc.len;
        return std::uint64_t{l} << 32 | slot;
    }
    die("a recorded placement ends on a live slot", i);
}

// The arena a floor fill writes, shaped like a new table's block: the
// control bytes of every level back to back, level 0 first, then the 16-byte
// entries (key, value) in the same order, then the membership groups, all
// zero as in a table just built. Beside it, what the batch rule reads and
// keeps: per level its length, slot shift and occupancy, with the reserve
// share and the usable probe count fixed by the shape; the batch quotas,
// index and remaining count; the length.
struct FillArena {
    struct Pair {
        std::uint64_t key, value;
    };
    struct FillLevel {
        std::uint8_t* ctrl = nullptr;
        Pair* entries = nullptr;
        std::size_t len = 0, occupied = 0, reserve = 0, usable = 0;
        unsigned shift = 63;
    };
    std::vector<std::uint8_t> ctrl;
    std::vector<Pair> entries;
    std::vector<elastic::MembershipGroup> groups;
    elastic::MembershipGroup* group = nullptr;
    std::size_t records = 0, levels = 0, quotas = 0, batch = 0, remaining = 0, len = 0;
    std::uint64_t seed = 0, fold = 0;
    std::uint32_t k = 0;
    bool lanes = false;
    FillLevel level[kMaxLevels];
    std::size_t quota[kMaxLevels] = {};

    explicit FillArena(const Table& empty) {
        const auto in = empty.inspect();
        if (empty.len() != 0) die("a fill arena is shaped after an empty table");
        seed = empty.seeds().table;
        fold = empty.seeds().fold;
        k = empty.reserve_exponent();
        levels = in.level_count();
        records = in.membership_groups();
        quotas = in.batch_quotas().size();
        lanes = levels <= elastic::kMaxLaneLevels;
        if (levels == 0 || levels > kMaxLevels || quotas != levels || records == 0 || in.membership() == nullptr)
            die("unexpected Elastic shape");
        for (std::size_t b = 0; b < quotas; ++b) quota[b] = in.batch_quotas()[b];
        batch = in.batch_index();
        remaining = in.batch_remaining();
        ctrl.assign(in.slots(), 0);
        entries.assign(in.slots(), Pair{0, 0});
        groups.assign(records, elastic::MembershipGroup{});
        group = groups.data();
        std::size_t before = 0;
        for (std::size_t l = 0; l < levels; ++l) {
            const auto& lv = in.level(l);
            level[l].ctrl = ctrl.data() + before;
            level[l].entries = entries.data() + before;
            level[l].len = lv.len;
            level[l].shift = lv.shift;
            level[l].reserve = elastic::elastic_reserve_share(lv.len, k);
            level[l].usable = l < elastic::kUsableProbes.size() ? elastic::kUsableProbes[l] : elastic::kUniformProbes;
            before += lv.len;
        }
        if (before != in.slots()) die("the levels do not add up to the table's slots");
    }
};

// The first probe of `level` among its first `probes` whose slot is not
// live, or kNone.
[[gnu::always_inline]] inline std::size_t first_vacant(const FillArena::FillLevel& lv, std::uint64_t H,
                                                       std::uint32_t level, std::size_t probes) {
    const std::uint32_t base = elastic::elastic_selector(level, 0);
    for (std::size_t t = 0; t < probes; ++t) {
        const std::size_t slot =
            elastic::elastic_probe_slot_shifted(H, base + elastic::elastic_selector(0, static_cast<std::uint32_t>(t)), lv.shift);
        if (!arena::is_live(lv.ctrl[slot])) return slot;
    }
    return kNone;
}

// The fill floor: the placement of a key known to be absent. Hash and
// prepare; move to the next batch with quota left; the batch rule (batch 0:
// level 0's probes in order; batch b >= 1, current level C = b - 1 and next
// X = b: X once C has no more free slots than its reserve share, C once X is
// three quarters full, else the first 8 * min(beta^2, k) probes of C, beta
// the bit length of ceil(|C| / free(C)) - 1, then X), each probe's slot
// tested for a live control byte; then the writes at the first vacant slot:
// control byte, entry, membership bits (and lane bit where lanes are kept),
// the level's occupancy, the length and the batch's remaining count.
// Returns level << 32 | slot. A key for which the rule finds no vacancy
// would be placed exceptionally, which this floor does not do: the program
// stops.
template <bool Lanes>
[[gnu::always_inline]] inline std::uint64_t floor_fill(FillArena& a, std::uint64_t key, Value value) {
    const std::uint64_t h = tavoric::common::hash::table_hash(static_cast<std::intptr_t>(key), a.seed, a.fold);
    const auto p = elastic::elastic_prepare(h);
    const std::uint64_t H = p.prepared;
    while (a.remaining == 0 && a.batch + 1 < a.quotas) a.remaining = a.quota[++a.batch];
    std::size_t l = 0, slot = kNone;
    if (a.batch != 0) {
        const std::size_t c = a.batch - 1;
        const FillArena::FillLevel &cur = a.level[c], &next = a.level[c + 1];
        const std::size_t free_c = cur.len - cur.occupied;
        if (free_c <= cur.reserve) {
            l = c + 1;
        } else if (4 * (next.len - next.occupied) <= next.len) {
            l = c;
        } else {
            const std::size_t q = (cur.len + free_c - 1) / free_c;
            const std::size_t beta = q <= 1 ? 0 : static_cast<std::size_t>(std::bit_width(q - 1));
            const std::size_t budget = std::min<std::size_t>(beta * beta, a.k);
            slot = first_vacant(cur, H, static_cast<std::uint32_t>(c), 8 * budget);
            l = slot != kNone ? c : c + 1;
        }
    }
    FillArena::FillLevel& lv = a.level[l];
    if (slot == kNone) slot = first_vacant(lv, H, static_cast<std::uint32_t>(l), lv.usable);
    if (slot == kNone) [[unlikely]]
        die("a fill key the batch rule finds no vacancy for: an exceptional placement, which the fill floor does "
            "not make");
    lv.ctrl[slot] = p.fingerprint;
    lv.entries[slot] = {key, value};
    ++lv.occupied;
    elastic::MembershipGroup& g = a.group[arena::MembershipBits::record_of(H, a.records)];
    g.bloom |= p.membership;
    if constexpr (Lanes) g.lanes[H & 3] = static_cast<std::uint16_t>(g.lanes[H & 3] | (1u << (l % 16)));
    ++a.len;
    --a.remaining;
    return std::uint64_t{l} << 32 | slot;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view op = argc == 3 ? argv[1] : "";
    const std::size_t count = argc == 3 ? std::strtoull(argv[2], nullptr, 10) : 0;
    const bool whole = op == "elastic_fill_distinct" || op == "elastic_floor_fill" || op == "elastic_fill_insert";
    const bool known = whole || op == "elastic_find_hit" || op == "elastic_floor_hit" || op == "elastic_find_miss" ||
                       op == "elastic_floor_miss" || op == "elastic_insert_new" || op == "elastic_floor_insert";
    if (!known || (whole ? count != 0 && count != kN : count > kRoom)) {
        std::fprintf(stderr,
                     "usage: %s elastic_find_hit|elastic_floor_hit|elastic_find_miss|elastic_floor_miss|"
                     "elastic_insert_new|elastic_floor_insert COUNT<=%zu\n"
                     "       %s elastic_fill_distinct|elastic_floor_fill|elastic_fill_insert 0|%zu\n",
                     argv[0], kRoom, argv[0], kN);
        return 2;
    }

    // ---- setup: the same whatever the operation and count ----
    const tavoric::bench::walk::Keys keys;
    Map full = make_map(kN);
    fill(full, keys.stored);
    Map roomy = make_map(kN + kRoom);
    fill(roomy, keys.stored);
    if (full.len() != kN || roomy.capacity() < kN + kRoom) die("unexpected table sizes");
    const View fv(full.table());

    // Lookup lists, recorded on the lookup table itself (read only).
    Lists hit, miss;
    std::vector<Replayed> hit_r(kN), miss_r(kN);
    std::size_t merged = 0, past = 0, miss_passed = 0;
    for (std::size_t i = 0; i < kN; ++i) {
        hit_r[i] = record_lookup(full.table(), keys.lookup[i], full.hash_of(BenchKey{keys.lookup[i]}), hit.sel);
        hit.close();
        miss_r[i] = record_lookup(full.table(), keys.absent[i], full.hash_of(BenchKey{keys.absent[i]}), miss.sel);
        miss.close();
        const auto real = full.table().find(BenchKey{keys.lookup[i]}, full.hash_of(BenchKey{keys.lookup[i]}));
        if (!hit_r[i].found || !real || *real != hit_r[i].at) die("replayed hit disagrees with find", i);
        if (miss_r[i].found) die("replayed miss finds a key", i);
        merged += hit_r[i].merged + miss_r[i].merged;
        past += hit_r[i].passed + miss_r[i].passed;
        miss_passed += miss_r[i].passed;
    }
    // Held against the table's own walk on a twin, a fingerprint at a time.
    {
        Map twin = make_map(kN, full.table().seeds());
        fill(twin, keys.stored);
        if (!same_state(twin.table(), full.table())) die("the twin of the lookup table differs");
        const View tv(twin.table());
        std::vector<std::vector<std::uint8_t>> saved;
        for (std::size_t l = 0; l < tv.levels; ++l) saved.emplace_back(tv.level[l].ctrl, tv.level[l].ctrl + tv.level[l].len);
        std::vector<std::size_t> by_fp[128];
        for (std::size_t i = 0; i < 2 * kN; ++i) {
            const std::uint64_t key = i < kN ? keys.lookup[i] : keys.absent[i - kN];
            by_fp[arena::fingerprint_of(twin.hash_of(BenchKey{key}))].push_back(i);
        }
        for (unsigned f = 1; f < 128; ++f) {
            for (std::size_t l = 0; l < tv.levels; ++l)
                for (std::size_t s = 0; s < tv.level[l].len; ++s)
                    if (arena::is_live(saved[l][s])) tv.level[l].ctrl[s] = static_cast<std::uint8_t>(f);
            for (const std::size_t i : by_fp[f]) {
                const bool h = i < kN;
                const std::size_t j = h ? i : i - kN;
                const std::uint64_t key = h ? keys.lookup[j] : keys.absent[j];
                const Lists& list = h ? hit : miss;
                check_observed(twin.table(), tv, key, twin.hash_of(BenchKey{key}), list.begin(j), list.end(j),
                               h ? hit_r[j] : miss_r[j], i, true);
            }
            for (std::size_t l = 0; l < tv.levels; ++l) std::memcpy(tv.level[l].ctrl, saved[l].data(), tv.level[l].len);
        }
    }
    // The floor walks over every list.
    std::size_t hit_pos = 0, miss_pos = 0;
    for (std::size_t i = 0; i < kN; ++i) {
        const std::size_t before_hit = hit_pos, before_miss = miss_pos;
        const Entry* e = floor_find<true>(fv, hit.begin(i), hit.end(i), keys.lookup[i], &hit_pos);
        if (e != &full.table().entry_at(hit_r[i].at) || hit_pos - before_hit != hit.off[i + 1] - hit.off[i])
            die("floor hit ends elsewhere than find", i);
        if (hit.begin(i)[0] != 0 || miss.begin(i)[0] != 0) die("a list that does not start at the primary probe", i);
        check_closed(full.table(), fv, full.hash_of(BenchKey{keys.absent[i]}), miss.begin(i), miss.end(i), i);
        if (floor_find<true>(fv, miss.begin(i), miss.end(i), keys.absent[i], &miss_pos) != nullptr ||
            miss_pos - before_miss != miss.off[i + 1] - miss.off[i])
            die("floor miss does not walk its list", i);
    }

    // Insertion lists, recorded while the insertions are replayed on a twin
    // of the insertion table.
    Lists look, place;
    std::vector<Loc> chosen(kRoom);
    std::size_t extends = 0, ins_merged = 0;
    Map twin = make_map(kN + kRoom, roomy.table().seeds());
    fill(twin, keys.stored);
    if (!same_state(twin.table(), roomy.table())) die("the twin of the insertion table differs");
    const std::size_t twin_slots = twin.table().inspect().slots();
    std::vector<std::pair<std::uint8_t*, std::uint8_t>> rewritten;
    for (std::size_t i = 0; i < kRoom; ++i) {
        const std::uint64_t key = keys.fresh[i], h = twin.hash_of(BenchKey{key});
        const Replayed r = record_lookup(twin.table(), key, h, look.sel);
        look.close();
        if (r.found) die("a fresh key is stored already", i);
        ins_merged += r.merged;
        const View tv(twin.table());
        const auto p = elastic::elastic_prepare(h);
        if (i % kRewriteEvery == 0) {
            // Every live byte the schedule could lead this key to takes its fingerprint.
            rewritten.clear();
            auto mark = [&](std::uint32_t s) {
                const Loc at = tv.at(p.prepared, s);
                std::uint8_t* c = &tv.level[at.level].ctrl[at.slot];
                if (arena::is_live(*c)) rewritten.emplace_back(c, *c), *c = p.fingerprint;
            };
            mark(elastic::elastic_selector(0, 0));
            for (const elastic::PhiRoute& route : twin.table().inspect().schedule()) mark(route.selector);
        }
        check_observed(twin.table(), tv, key, h, look.begin(i), look.end(i), r, i, !rewritten.empty());
        check_closed(twin.table(), tv, h, look.begin(i), look.end(i), i);
        for (auto it = rewritten.rbegin(); it != rewritten.rend(); ++it) *it->first = it->second;
        rewritten.clear();
        chosen[i] = record_placement(twin.table(), p.prepared, place.sel, extends);
        place.close();
        if (!twin.insert(BenchKey{key}, i)) die("insert refused memory", i);
        if (twin.table().find(BenchKey{key}, h) != chosen[i] || twin.table().inspect().slots() != twin_slots)
            die("the insertion took another slot than the replay chose", i);
    }
    // The floor insertions once over every list, on a scratch of their own.
    std::size_t ins_look = 0, ins_place = 0;
    {
        Scratch check(roomy.table());
        for (std::size_t i = 0; i < kRoom; ++i) {
            const std::uint64_t at =
                floor_insert<true>(check, look, place, i, keys.fresh[i], Value{i}, &ins_look, &ins_place);
            if (at != (std::uint64_t{chosen[i].level} << 32 | chosen[i].slot))
                die("floor insertion slot disagrees with insert", i);
        }
        const auto in = twin.table().inspect();
        bool same = check.len == twin.len() &&
                    std::memcmp(check.groups.data(), in.membership(), check.groups.size() * sizeof(check.groups[0])) == 0;
        for (std::size_t l = 0; same && l < check.view.levels; ++l)
            for (std::size_t s = 0; same && s < in.level(l).len; ++s)
                same = check.ctrl[l][s] == in.level(l).ctrl[s] &&
                       (!arena::is_live(check.ctrl[l][s]) ||
                        (check.entries[l][s].key.value == in.level(l).entries[s].key.value &&
                         check.entries[l][s].value == in.level(l).entries[s].value));
        if (!same) die("floor insertions leave another state than insert", kRoom);
    }
    Scratch scratch(roomy.table());

    // Fill from empty. The measured loops fill `fill_map` (elastic_fill_distinct,
    // elastic_fill_insert) or `fill_arena` (elastic_floor_fill, with
    // fill_map's shape and seeds). A twin table with the same seeds gets the
    // same keys through insert_distinct while a twin arena gets them through
    // the floor fill, slot by slot; then control bytes, entries, membership
    // groups, occupancy, length and batch counters are compared. A third twin
    // filled through insert must end in the same state as the first.
    Map fill_map = make_map(kN);
    FillArena fill_arena(fill_map.table());
    std::size_t fill_extends = 0, fill_routes = 0;
    {
        Map twin_d = make_map(kN, fill_map.table().seeds());
        Map twin_i = make_map(kN, fill_map.table().seeds());
        FillArena twin_arena(twin_d.table());
        const std::size_t slots = twin_d.table().inspect().slots();
        for (std::size_t i = 0; i < kN; ++i) {
            const std::uint64_t key = keys.stored[i];
            const std::uint32_t bound = twin_d.table().inspect().schedule().bound();
            if (!twin_d.insert_distinct(BenchKey{key}, i + 1)) die("insert refused memory", i);
            if (!twin_i.insert(BenchKey{key}, i + 1)) die("insert refused memory", i);
            const auto din = twin_d.table().inspect();
            if (din.schedule().exceptional()) die("an exceptional placement during the fill", i);
            if (din.slots() != slots) die("the fill grew or rebuilt the table", i);
            fill_extends += din.schedule().bound() != bound;
            const std::uint64_t at = twin_arena.lanes ? floor_fill<true>(twin_arena, key, i + 1)
                                                      : floor_fill<false>(twin_arena, key, i + 1);
            const auto real = twin_d.table().find(BenchKey{key}, twin_d.hash_of(BenchKey{key}));
            if (!real || at != (std::uint64_t{real->level} << 32 | real->slot))
                die("floor fill slot disagrees with insert_distinct", i);
        }
        const auto in = twin_d.table().inspect();
        fill_routes = in.schedule().size();
        bool same = twin_arena.len == twin_d.len() && twin_arena.levels == in.level_count() &&
                    twin_arena.records == in.membership_groups() && twin_arena.batch == in.batch_index() &&
                    twin_arena.remaining == in.batch_remaining() &&
                    std::memcmp(twin_arena.group, in.membership(), twin_arena.records * sizeof(elastic::MembershipGroup)) == 0;
        for (std::size_t l = 0; same && l < in.level_count(); ++l) {
            const FillArena::FillLevel& a = twin_arena.level[l];
            const auto& lv = in.level(l);
            same = a.occupied == lv.occupied && a.len == lv.len && std::memcmp(a.ctrl, lv.ctrl, lv.len) == 0;
            for (std::size_t s = 0; same && s < lv.len; ++s)
                if (arena::is_live(a.ctrl[s]))
                    same = a.entries[s].key == lv.entries[s].key.value && a.entries[s].value == lv.entries[s].value;
        }
        if (!same) die("floor fill leaves another state than insert_distinct", kN);
        if (!same_state(twin_i.table(), twin_d.table()) || twin_i.len() != twin_d.len() ||
            twin_i.table().inspect().batch_index() != in.batch_index() ||
            twin_i.table().inspect().batch_remaining() != in.batch_remaining())
            die("the fill through insert leaves another state than insert_distinct", kN);
    }

    const auto fin = full.table().inspect();
    std::size_t live = 0;
    for (std::size_t l = 0; l < fin.level_count(); ++l) live += fin.level(l).occupied != 0;
    std::printf("setup: %zu slots, %zu levels (%zu with entries), schedule %zu routes; lookup table load %.4f; "
                "insertion table %zu slots\n",
                fin.slots(), fin.level_count(), live, fin.schedule().size(),
                static_cast<double>(kN) / static_cast<double>(fin.slots()), twin_slots);
    std::printf("setup: hit: %.3f positions per lookup; of the hits and misses that pass the membership group "
                "%.2f%% take the merged walk (at most four levels)\n",
                static_cast<double>(hit_pos) / kN, past ? 100.0 * static_cast<double>(merged) / past : 0.0);
    std::printf("setup: miss: %.3f positions per miss; %.2f%% pass the membership group, %.3f positions per "
                "passing miss\n",
                static_cast<double>(miss_pos) / kN, 100.0 * static_cast<double>(miss_passed) / kN,
                miss_passed ? static_cast<double>(miss_pos - (kN - miss_passed)) / static_cast<double>(miss_passed)
                            : 0.0);
    std::printf("setup: insert: %.3f positions per insertion over %zu new keys (lookup %.3f, placement %.3f); "
                "%zu extend the schedule\n",
                static_cast<double>(ins_look + ins_place) / kRoom, kRoom, static_cast<double>(ins_look) / kRoom,
                static_cast<double>(ins_place) / kRoom, extends);
    {
        const auto in = fill_map.table().inspect();
        std::size_t b = 0;
        std::printf("setup: fill: %zu keys into a new table of %zu slots built for %zu, batch quotas", kN, in.slots(),
                    kN);
        for (const std::size_t q : in.batch_quotas()) {
            if (q == 0) break;
            std::printf("%s%zu", b++ == 0 ? " " : "/", q);
        }
        std::printf("; floor fill and insert_distinct agree on every slot; %zu placements extend the schedule (to "
                    "%zu routes), none exceptional\n",
                    fill_extends, fill_routes);
    }
    std::fflush(stdout);

    // ---- the measured loop ----
    std::uint64_t acc = 0;
    const bool is_hit = op.ends_with("hit");
    const std::uint64_t* const k = whole ? keys.stored.data() : is_hit ? keys.lookup.data()
                                                             : op.ends_with("miss") ? keys.absent.data()
                                                                                    : keys.fresh.data();
    if (op == "elastic_find_hit" || op == "elastic_find_miss")
        acc = run(count, [&full, k](std::size_t i) -> std::uint64_t {
            const auto* e = full.get(BenchKey{k[i]});
            return e != nullptr ? e->value : 0;
        });
    if (op == "elastic_floor_hit" || op == "elastic_floor_miss")
        acc = run(count, [v = fv, &l = is_hit ? hit : miss, k](std::size_t i) -> std::uint64_t {
            const Entry* e = floor_find<false>(v, l.begin(i), l.end(i), k[i]);
            return e != nullptr ? e->value : 0;
        });
    if (op == "elastic_insert_new")
        acc = run(count, [&roomy, k](std::size_t i) -> std::uint64_t { return roomy.insert(BenchKey{k[i]}, i).has_value(); });
    if (op == "elastic_floor_insert")
        acc = run(count, [&scratch, &look, &place, k](std::size_t i) {
            return floor_insert<false>(scratch, look, place, i, k[i], Value{i});
        });
    if (op == "elastic_fill_distinct") acc = run(count, [&fill_map, k](std::size_t i) -> std::uint64_t {
        return fill_map.insert_distinct(BenchKey{k[i]}, i + 1).has_value();
    });
    if (op == "elastic_fill_insert") acc = run(count, [&fill_map, k](std::size_t i) -> std::uint64_t {
        return fill_map.insert(BenchKey{k[i]}, i + 1).has_value();
    });
    if (op == "elastic_floor_fill") {
        if (fill_arena.lanes)
            acc = run(count, [&fill_arena, k](std::size_t i) { return floor_fill<true>(fill_arena, k[i], i + 1); });
        else
            acc = run(count, [&fill_arena, k](std::size_t i) { return floor_fill<false>(fill_arena, k[i], i + 1); });
    }
    tavoric::bench::walk::finish(acc);
}
