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
// Usage: tavoric_walk_floor_elastic <operation> <count>, operation one of
// elastic_find_hit, elastic_floor_hit, elastic_find_miss, elastic_floor_miss,
// elastic_insert_new, elastic_floor_insert; count <= 50000. Setup: the same
// keys as walk_floor.cpp, a table built as the Python classes build it for
// n = 100000 (reserve exponent 3) holding them, and one built for n + 50000
// holding them for the insertions. bench/cpp/walk_floor.sh runs it.
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
    r.merged = elastic::at_most_bits_set(level_set, 4);
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

}  // namespace

int main(int argc, char** argv) {
    const std::string_view op = argc == 3 ? argv[1] : "";
    const std::size_t count = argc == 3 ? std::strtoull(argv[2], nullptr, 10) : 0;
    const bool known = op == "elastic_find_hit" || op == "elastic_floor_hit" || op == "elastic_find_miss" ||
                       op == "elastic_floor_miss" || op == "elastic_insert_new" || op == "elastic_floor_insert";
    if (!known || count > kRoom) {
        std::fprintf(stderr,
                     "usage: %s elastic_find_hit|elastic_floor_hit|elastic_find_miss|elastic_floor_miss|"
                     "elastic_insert_new|elastic_floor_insert COUNT<=%zu\n",
                     argv[0], kRoom);
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
    std::fflush(stdout);

    // ---- the measured loop ----
    std::uint64_t acc = 0;
    const bool is_hit = op.ends_with("hit");
    const std::uint64_t* const k = is_hit ? keys.lookup.data() : op.ends_with("miss") ? keys.absent.data()
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
    tavoric::bench::walk::finish(acc);
}
