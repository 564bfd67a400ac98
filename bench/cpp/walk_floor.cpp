// The floor of the Funnel probe walk, in instructions per operation.
//
// A Funnel table fixes where a key may be: one bucket per level, in level
// order, then the special array. Whatever the table's code does, a lookup
// has to hash the key, test the membership word, compute each level's bucket
// (ProbeKey::position) and match the bucket's control bytes against the
// fingerprint until the key or the first empty slot turns up; an insertion
// has to test the membership word, walk the same buckets to the first empty
// slot (matching fingerprints only when the word did not rule the key out)
// and write control byte, entry, membership bits and length; filling a new table with keys
// known to be distinct (a copy) needs the same walk with only the empty test
// per bucket, no fingerprint and no key compared. That arithmetic and those
// loads are the floor: the cost the fixed probe positions impose on any code.
//
// The floor walks here read the table through inspect() and do only that.
// They leave out what the real operations carry besides: the tombstone
// tracking (the tables measured have none), the displaced-mode full scan
// (checked to be off), the special array (lookups that reach it call the
// real find, and the setup counts them; an insertion that would reach it
// stops the program, as does a fill that would), error paths (AllocError,
// growth and the budget test before it, retry exhaustion, which aborts
// here), the out-of-line key comparison a Python key needs (a
// BenchKey compares inline), and the borrow and Python layers above the
// container. The real rows go through map::HashMap as the Python classes do,
// so the ratio real / floor is what the table's code adds to the floor.
//
// Setup (identical for every operation and count): n = 100000 stream keys in
// a table built as the Python classes build it (reserve exponent 3, insert
// budget exactly n, fully loaded), the stored keys in a fixed shuffled
// order, absent keys from a disjoint stretch; a second table with room for
// n + 50000 filled with the same keys, and a scratch copy of its control
// bytes, keys and membership words that the floor insertion writes into (it
// cannot write through inspect()). Every floor walk is checked at setup
// against the table, and any mismatch stops the program: each stored key at
// the slot find() gives; each absent key absent, its walk ending at the
// empty slot where the table's own search ends; 1000 floor insertions into
// the scratch of a third table at the slots the real insertions take there,
// leaving the same control bytes, membership words and length. The setup
// also prints the levels each kind of walk visits on average.
//
// Fill from empty (what copy() does with insert_distinct, a constructor
// with insert): a new table built for exactly n (as above) gets the n
// stored keys in stored order, through HashMap::insert_distinct
// (fill_distinct) or HashMap::insert (fill_insert, which compares wherever a
// fingerprint matches on a path the membership word did not rule out); floor_fill places them into a zeroed arena of the
// same shape with the table's seeds. These rows count 0 or n keys, and both
// runs build the same empty table and arena, so (total(n) - total(0)) / n is
// the cost per entry. Checked at setup on a twin pair with the same seeds:
// the floor fill puts every key at the slot insert_distinct gives it and
// leaves the same control bytes, entries, membership words and length.
//
// The measured loops read the floor's probe positions exactly as the table
// does: instruction counts under callgrind say what the code costs, not
// what the cache misses of the same loads cost.
//
// The program ends right after the measured loop without running any
// destructor (walk_floor_common.hpp says why).
//
// Usage: tavoric_walk_floor <operation> <count>, operation one of find_hit,
// floor_hit, find_miss, floor_miss, insert_new, floor_insert (count <=
// 50000), or fill_distinct, floor_fill, fill_insert (count 0 or 100000).
// bench/cpp/walk_floor.sh runs each under callgrind for two counts and prints
// the difference per operation.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "bench_keys.hpp"
#include "common/arena/control.hpp"
#include "common/arena/membership.hpp"
#include "common/hash/table_hash.hpp"
#include "funnel/probe.hpp"
#include "funnel/table.hpp"
#include "map/hash_map.hpp"
#include "walk_floor_common.hpp"

namespace {

using tavoric::bench::BenchKey;
using Value = std::uint64_t;
using Table = tavoric::funnel::FunnelTable<BenchKey, Value>;
using Map = tavoric::map::HashMap<BenchKey, Value, Table>;
namespace arena = tavoric::common::arena;
namespace funnel = tavoric::funnel;

using tavoric::bench::walk::die;
using tavoric::bench::walk::kN;
using tavoric::bench::walk::kNone;
using tavoric::bench::walk::kRoom;
using tavoric::bench::walk::run;
constexpr std::size_t kInsertChecks = 1000;

Map make_map(std::size_t budget,
             tavoric::common::hash::HashSeeds seeds = tavoric::common::hash::HashSeeds::fresh()) {
    auto t = Table::try_with_insert_budget(budget, 3, seeds);
    if (!t) die("Funnel table refused");
    return Map(std::move(*t));
}

// Everything a walk reads, taken from inspect() once.
struct View {
    std::uint64_t seed = 0, fold = 0;
    const std::uint8_t* ctrl = nullptr;
    const arena::SlotEntry<BenchKey, Value>* entries = nullptr;
    const std::uint64_t* filter = nullptr;
    std::size_t filter_words = 0, beta = 0;
    const funnel::LevelShape* levels = nullptr;
    const funnel::LevelShape* levels_end = nullptr;
    arena::WideGroup::Mask tail = 0;

    explicit View(const Table& t) {
        const auto in = t.inspect();
        if (in.displaced() || in.tombstones() != 0) die("table displaced or with tombstones");
        seed = t.seeds().table;
        fold = t.seeds().fold;
        ctrl = in.control_bytes().data();
        entries = &t.entry_at(0);
        filter = in.filter_words().data();
        filter_words = in.filter_words().size();
        beta = in.shape().bucket_width;
        if (beta == 0 || beta > arena::kWideGroupWidth) die("bucket wider than one group");
        levels = in.shape().levels.get();
        levels_end = levels + in.shape().level_count;
        tail = (arena::WideGroup::Mask{1} << beta) - 1;
    }
};

// The bucket of one level, ProbeKey::position's arithmetic: the accepted
// product is spelled out so that no std::optional is built on the common
// path (GCC 12 moves that optional through the stack here, about seven
// instructions per level, where the table's own walk keeps it in registers);
// a rejected product takes ProbeKey::position itself for the retries. False
// when all eight were rejected.
[[gnu::always_inline]] inline bool level_bucket(const funnel::ProbeKey& pk, const funnel::LevelShape& lv,
                                                std::uint64_t& bucket) {
    const std::uint64_t u = pk.mix ^ tavoric::common::hash::splitmix64_finalize(pk.base ^ lv.selector);
    const unsigned __int128 p = static_cast<unsigned __int128>(u) * lv.bucket_count;
    bucket = static_cast<std::uint64_t>(p >> 64);
    if (static_cast<std::uint64_t>(p) >= lv.threshold) [[likely]]
        return true;
    const auto retried = pk.position(lv.selector, lv.bucket_count, lv.threshold);
    bucket = retried.value_or(0);
    return retried.has_value();
}

// The lookup floor: slot of `key`, kNone when absent, or `special` (with
// kNone) when the walk passed every level without deciding (or, with
// probability below 2^-60, a level's probe was rejected eight times): the
// real find then answers.
// With Stats, levels visited are counted and `stop` gets the empty slot that
// ended a miss's walk.
template <bool Stats>
[[gnu::always_inline]] inline std::size_t floor_find(const View& v, std::uint64_t key, bool& special,
                                                     std::size_t* levels_seen = nullptr, std::size_t* stop = nullptr) {
    const std::uint64_t h = tavoric::common::hash::table_hash(static_cast<std::intptr_t>(key), v.seed, v.fold);
    const auto bits = arena::MembershipBits::of(h, v.filter_words);
    if ((v.filter[bits.record] & bits.mask) != bits.mask) return kNone;
    const std::uint8_t fp = arena::fingerprint_of(h);
    const auto pk = funnel::ProbeKey::of(h);
    for (const funnel::LevelShape* lv = v.levels; lv != v.levels_end; ++lv) {
        if constexpr (Stats) ++*levels_seen;
        std::uint64_t b;
        if (!level_bucket(pk, *lv, b)) [[unlikely]]
            break;
        const std::size_t start = lv->start + b * v.beta;
        const arena::WideGroup g(v.ctrl + start);
        for (auto m = g.match(fp) & v.tail; m != 0; m &= m - 1) {
            const std::size_t s = start + arena::lowest_index(m);
            if (v.entries[s].key.value == key) return s;
        }
        if (const auto e = g.empty() & v.tail; e != 0) {
            if constexpr (Stats)
                if (stop != nullptr) *stop = start + arena::lowest_index(e);
            return kNone;
        }
    }
    special = true;
    return kNone;
}

// The scratch state the floor insertion writes: control bytes (with the
// group padding), keys and values by slot, membership words, length.
struct Scratch {
    std::vector<std::uint8_t> ctrl;
    std::vector<std::uint64_t> keys, values, filter;
    std::size_t len = 0;

    explicit Scratch(const Table& t) {
        const auto in = t.inspect();
        ctrl.assign(in.control_bytes().begin(), in.control_bytes().end());
        keys.assign(in.slot_count(), 0);
        values.assign(in.slot_count(), 0);
        for (std::size_t s = 0; s < in.slot_count(); ++s)
            if (arena::is_live(ctrl[s])) keys[s] = t.entry_at(s).key.value, values[s] = t.entry_at(s).value;
        filter.assign(in.filter_words().begin(), in.filter_words().end());
        len = t.len();
    }
};

// The insertion floor: the membership test, then the lookup walk, which
// compares keys wherever the fingerprint matches unless the membership word
// ruled the key out (then it only looks for the first empty slot), then the
// writes at that slot. Returns the slot. A path whose
// levels are all full would go on into the special array, which this floor
// does not walk: the program stops there (the setup's statistics pass makes
// exactly the insertions the measured loop makes, so it stops in the setup).
template <bool Stats>
[[gnu::always_inline]] inline std::size_t floor_insert(const View& v, Scratch& sc, std::uint64_t key, Value value,
                                                       std::size_t* levels_seen = nullptr) {
    const std::uint64_t h = tavoric::common::hash::table_hash(static_cast<std::intptr_t>(key), v.seed, v.fold);
    const auto bits = arena::MembershipBits::of(h, sc.filter.size());
    const bool may_hold = (sc.filter[bits.record] & bits.mask) == bits.mask;
    const std::uint8_t fp = arena::fingerprint_of(h);
    const auto pk = funnel::ProbeKey::of(h);
    std::uint8_t* const ctrl = sc.ctrl.data();
    const std::uint64_t* const keys = sc.keys.data();
    std::size_t slot = kNone;
    for (const funnel::LevelShape* lv = v.levels; lv != v.levels_end; ++lv) {
        if constexpr (Stats) ++*levels_seen;
        std::uint64_t b;
        if (!level_bucket(pk, *lv, b)) [[unlikely]]
            die("probe retries exhausted");
        const std::size_t start = lv->start + b * v.beta;
        const arena::WideGroup g(ctrl + start);
        if (may_hold) {
            for (auto m = g.match(fp) & v.tail; m != 0; m &= m - 1) {
                const std::size_t s = start + arena::lowest_index(m);
                if (keys[s] == key) {
                    sc.values[s] = value;
                    return s;
                }
            }
        }
        if (const auto e = g.empty() & v.tail; e != 0) {
            slot = start + arena::lowest_index(e);
            break;
        }
    }
    if (slot == kNone) [[unlikely]]
        die("an insertion reaches the special array, which the insertion floor does not walk; "
            "another TAVORIC_HASH_SEED may avoid it");
    ctrl[slot] = fp;
    sc.keys[slot] = key;
    sc.values[slot] = value;
    sc.filter[bits.record] |= bits.mask;
    ++sc.len;
    return slot;
}

// The arena a floor fill writes, shaped like a new table's block: control
// bytes with the group padding, 16-byte entries (key, value) by slot,
// membership words and length, all zero as in a table just built.
struct FillArena {
    struct Pair {
        std::uint64_t key, value;
    };
    std::vector<std::uint8_t> ctrl;
    std::vector<Pair> entries;
    std::vector<std::uint64_t> filter;
    std::size_t len = 0;

    explicit FillArena(const Table& empty) {
        const auto in = empty.inspect();
        if (empty.len() != 0) die("a fill arena is shaped after an empty table");
        ctrl.assign(in.control_bytes().size(), 0);
        entries.assign(in.slot_count(), Pair{0, 0});
        filter.assign(in.filter_words().size(), 0);
    }
};

// The fill floor: the placement of a key known to be absent. The same
// buckets as any walk, each tested for an empty slot only (no fingerprint,
// no key), then the writes at the first empty slot. Returns the slot; a key
// whose levels are all full stops the program as in floor_insert.
[[gnu::always_inline]] inline std::size_t floor_fill(const View& v, FillArena& a, std::uint64_t key, Value value) {
    const std::uint64_t h = tavoric::common::hash::table_hash(static_cast<std::intptr_t>(key), v.seed, v.fold);
    const auto pk = funnel::ProbeKey::of(h);
    std::uint8_t* const ctrl = a.ctrl.data();
    for (const funnel::LevelShape* lv = v.levels; lv != v.levels_end; ++lv) {
        std::uint64_t b;
        if (!level_bucket(pk, *lv, b)) [[unlikely]]
            die("probe retries exhausted");
        const std::size_t start = lv->start + b * v.beta;
        if (const auto e = arena::WideGroup(ctrl + start).empty() & v.tail; e != 0) {
            const std::size_t slot = start + arena::lowest_index(e);
            ctrl[slot] = arena::fingerprint_of(h);
            a.entries[slot] = {key, value};
            const auto bits = arena::MembershipBits::of(h, a.filter.size());
            a.filter[bits.record] |= bits.mask;
            ++a.len;
            return slot;
        }
    }
    die("a fill reaches the special array, which the fill floor does not walk; another TAVORIC_HASH_SEED may avoid it");
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view op = argc == 3 ? argv[1] : "";
    const std::size_t count = argc == 3 ? std::strtoull(argv[2], nullptr, 10) : 0;
    const bool whole = op == "fill_distinct" || op == "floor_fill" || op == "fill_insert";
    const bool known = whole || op == "find_hit" || op == "floor_hit" || op == "find_miss" || op == "floor_miss" ||
                       op == "insert_new" || op == "floor_insert";
    if (!known || (whole ? count != 0 && count != kN : count > kRoom)) {
        std::fprintf(stderr,
                     "usage: %s find_hit|floor_hit|find_miss|floor_miss|insert_new|floor_insert COUNT<=%zu\n"
                     "       %s fill_distinct|floor_fill|fill_insert 0|%zu\n",
                     argv[0], kRoom, argv[0], kN);
        return 2;
    }

    // ---- setup: the same whatever the operation and count ----
    const tavoric::bench::walk::Keys keyset;
    const std::vector<std::uint64_t>& stored = keyset.stored;
    const std::vector<std::uint64_t>& fresh = keyset.fresh;
    const std::vector<std::uint64_t>& absent = keyset.absent;
    const std::vector<std::uint64_t>& lookup = keyset.lookup;

    Map full = make_map(kN);
    for (std::size_t i = 0; i < kN; ++i)
        if (!full.insert(BenchKey{stored[i]}, i + 1)) die("insert refused memory", i);
    Map roomy = make_map(kN + kRoom);
    Map check = make_map(kN + kRoom);
    for (std::size_t i = 0; i < kN; ++i)
        if (!roomy.insert(BenchKey{stored[i]}, i + 1) || !check.insert(BenchKey{stored[i]}, i + 1))
            die("insert refused memory", i);
    if (full.len() != kN || full.len() != full.capacity()) die("the lookup table is not exactly full");
    if (roomy.capacity() < kN + kRoom) die("the insertion table has no room");

    const View fv(full.table());
    const std::size_t special_start = full.table().inspect().shape().uniform_start;
    std::size_t hit_levels = 0, hit_special = 0, miss_levels = 0, miss_passed = 0, miss_special = 0;
    for (std::size_t i = 0; i < kN; ++i) {
        bool special = false;
        std::size_t s = floor_find<true>(fv, lookup[i], special, &hit_levels);
        const auto real = full.table().find(BenchKey{lookup[i]}, full.hash_of(BenchKey{lookup[i]}));
        if (special) {
            // Left to the real find: only right if the key is past the levels.
            ++hit_special;
            s = real.value_or(kNone);
            if (s < special_start) die("floor hit left a key in the levels to the real find", i);
        }
        if (!real || s != *real) die("floor hit disagrees with find", i);
    }
    for (std::size_t i = 0; i < kN; ++i) {
        bool special = false;
        const std::size_t before = miss_levels;
        std::size_t stop = kNone;
        const std::size_t s = floor_find<true>(fv, absent[i], special, &miss_levels, &stop);
        miss_passed += miss_levels != before;
        miss_special += special;
        const std::uint64_t h = full.hash_of(BenchKey{absent[i]});
        if (s != kNone || full.table().find(BenchKey{absent[i]}, h)) die("floor miss disagrees with find", i);
        // A walk past the table's own end would still answer right: compare
        // where it stopped with where the table's search stops.
        const auto r = full.table().inspect().search(BenchKey{absent[i]}, h, arena::fingerprint_of(h));
        const bool vacant = r.outcome == funnel::SearchOutcome::Vacant;
        if (miss_levels != before && (special ? vacant && r.slot < special_start : !vacant || r.slot != stop))
            die("floor miss stops elsewhere than the table's search", i);
    }

    const View cv(check.table());
    Scratch check_scratch(check.table());
    std::size_t ins_levels = 0;
    for (std::size_t i = 0; i < kInsertChecks; ++i) {
        const std::size_t s = floor_insert<false>(cv, check_scratch, fresh[i], i);
        if (!check.insert(BenchKey{fresh[i]}, i)) die("insert refused memory", i);
        if (check.table().find(BenchKey{fresh[i]}, check.hash_of(BenchKey{fresh[i]})) != s)
            die("floor insertion slot disagrees with insert", i);
    }
    // The floor's writes leave the scratch state equal to the table's.
    const auto cin = check.table().inspect();
    if (!std::equal(check_scratch.ctrl.begin(), check_scratch.ctrl.end(), cin.control_bytes().begin()) ||
        !std::equal(check_scratch.filter.begin(), check_scratch.filter.end(), cin.filter_words().begin()) ||
        check_scratch.len != check.len())
        die("floor insertions leave another state than insert", kInsertChecks);
    // Levels per insertion over the whole stretch, on a scratch of its own.
    const View rv(roomy.table());
    {
        Scratch stats(roomy.table());
        for (std::size_t i = 0; i < kRoom; ++i) floor_insert<true>(rv, stats, fresh[i], i, &ins_levels);
    }
    Scratch scratch(roomy.table());

    // Fill from empty. The measured loops fill `fill_map` (fill_distinct,
    // fill_insert) or `fill_arena` (floor_fill, with fill_map's shape and
    // seeds). A check pair with the same seeds makes the very same placements
    // first: the floor fill on an arena of its own, insert_distinct on a
    // table of its own, slot by slot, then control bytes, entries, membership
    // words and length compared.
    Map fill_map = make_map(kN);
    FillArena fill_arena(fill_map.table());
    const View fillv(fill_map.table());
    {
        Map twin = make_map(kN, fill_map.table().seeds());
        FillArena twin_arena(twin.table());
        const View tv(twin.table());
        for (std::size_t i = 0; i < kN; ++i) {
            const std::size_t s = floor_fill(tv, twin_arena, stored[i], i + 1);
            if (!twin.insert_distinct(BenchKey{stored[i]}, i + 1)) die("insert refused memory", i);
            if (twin.table().find(BenchKey{stored[i]}, twin.hash_of(BenchKey{stored[i]})) != s)
                die("floor fill slot disagrees with insert_distinct", i);
        }
        const auto tin = twin.table().inspect();
        bool same = tin.slot_count() == twin_arena.entries.size() && twin_arena.len == twin.len() &&
                    std::equal(twin_arena.ctrl.begin(), twin_arena.ctrl.end(), tin.control_bytes().begin()) &&
                    std::equal(twin_arena.filter.begin(), twin_arena.filter.end(), tin.filter_words().begin());
        for (std::size_t s = 0; same && s < tin.slot_count(); ++s)
            if (arena::is_live(twin_arena.ctrl[s]))
                same = twin_arena.entries[s].key == twin.table().entry_at(s).key.value &&
                       twin_arena.entries[s].value == twin.table().entry_at(s).value;
        if (!same) die("floor fill leaves another state than insert_distinct", kN);
    }

    std::printf("setup: %zu slots, beta %zu, %zu levels; lookup table load %.4f\n",
                full.table().inspect().slot_count(), fv.beta, static_cast<std::size_t>(fv.levels_end - fv.levels),
                static_cast<double>(kN) / static_cast<double>(full.table().inspect().slot_count()));
    std::printf("setup: hit: %.3f levels per lookup, %zu of %zu reach the special array\n",
                static_cast<double>(hit_levels) / kN, hit_special, kN);
    std::printf("setup: miss: %.2f%% pass the membership word, %.3f levels per passing miss (%.3f per miss), "
                "%zu reach the special array\n",
                100.0 * static_cast<double>(miss_passed) / kN,
                miss_passed ? static_cast<double>(miss_levels) / static_cast<double>(miss_passed) : 0.0,
                static_cast<double>(miss_levels) / kN, miss_special);
    std::printf("setup: insert: %.3f levels per insertion over %zu new keys, none reach the special array\n",
                static_cast<double>(ins_levels) / kRoom, kRoom);
    std::printf("setup: fill: %zu keys into a new table built for %zu: floor fill and insert_distinct agree on every "
                "slot\n",
                kN, kN);
    std::fflush(stdout);

    // ---- the measured loop ----
    const std::vector<std::uint64_t>& keys =
        whole ? stored : op.ends_with("hit") ? lookup : op.ends_with("miss") ? absent : fresh;
    const std::uint64_t* const k = keys.data();
    std::uint64_t acc = 0;
    if (op == "find_hit" || op == "find_miss") acc = run(count, [&full, k](std::size_t i) -> std::uint64_t {
        const auto* e = full.get(BenchKey{k[i]});
        return e != nullptr ? e->value : 0;
    });
    if (op == "floor_hit" || op == "floor_miss") acc = run(count, [v = fv, &full, k](std::size_t i) -> std::uint64_t {
        bool special = false;
        std::size_t s = floor_find<false>(v, k[i], special);
        if (special) [[unlikely]]
            s = full.table().find(BenchKey{k[i]}, full.hash_of(BenchKey{k[i]})).value_or(kNone);
        return s != kNone ? v.entries[s].value : 0;
    });
    if (op == "insert_new")
        acc = run(count, [&roomy, k](std::size_t i) -> std::uint64_t { return roomy.insert(BenchKey{k[i]}, i).has_value(); });
    if (op == "floor_insert")
        acc = run(count, [v = rv, &scratch, k](std::size_t i) { return floor_insert<false>(v, scratch, k[i], i); });
    if (op == "fill_distinct") acc = run(count, [&fill_map, k](std::size_t i) -> std::uint64_t {
        return fill_map.insert_distinct(BenchKey{k[i]}, i + 1).has_value();
    });
    if (op == "fill_insert") acc = run(count, [&fill_map, k](std::size_t i) -> std::uint64_t {
        return fill_map.insert(BenchKey{k[i]}, i + 1).has_value();
    });
    if (op == "floor_fill")
        acc = run(count, [v = fillv, &fill_arena, k](std::size_t i) { return floor_fill(v, fill_arena, k[i], i + 1); });
    tavoric::bench::walk::finish(acc);
}
