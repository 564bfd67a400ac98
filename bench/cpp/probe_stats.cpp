// Probe statistics of Funnel and Elastic tables filled to their insert limit
// (fill 1 - delta, delta = 2^-k): average and largest number of probes per
// insertion, per successful lookup and per unsuccessful lookup, next to what
// uniform probing would cost at the same load.
//
// What a probe is. One probe is one slot whose control byte the operation
// examines, the unit uniform probing is measured in:
//   Funnel   the probe path: each level's bucket is scanned in slot order up
//            to the deciding slot (an equal key or the first empty slot), all
//            beta slots when the bucket has neither; then the lambda uniform
//            slots; then the two two-choice buckets slot by slot in lock
//            step. An unsuccessful lookup first tests the membership filter;
//            a rejected key examines 0 slots ("miss" column), the path walk
//            alone is shown as "miss path" (what inserting one more key would
//            examine, and what uniform probing's 1/(1 - alpha) describes).
//   Elastic  insertion: every probe the batch rules make (the probes of the
//            current level, then of the next, as many as tried); lookup: the
//            primary slot, then each schedule route whose level the key's
//            membership lane admits, up to the key's slot (hit) or to the end
//            of the schedule (miss; a key the membership bloom word rejects
//            examines only the primary slot).
// A full scan (Funnel displaced mode, Elastic exceptional entries) adds the
// slots it examines; the tables below report when that happened.
//
// How they are counted. The tables do not count probes, and their headers
// are not changed for a benchmark, so this program walks each operation's
// probe sequence itself from the table's public geometry (shape, control
// bytes, schedule, membership groups) and checks every walk against the
// table: the slot a replayed insertion predicts is where the table stores the
// key, the slot a replayed lookup finds is what find() returns, and a
// replayed miss is a miss. Any disagreement stops the program, so a figure is
// never printed for a walk that differs from the table's own.
//
// Insertions go through the tables directly with the table hash the
// container would compute (the container adds nothing but the hash). Keys,
// seeds and sizes are fixed, so a run is reproducible.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

#include "bench_keys.hpp"
#include "common/arena/control.hpp"
#include "elastic/geometry.hpp"
#include "common/hash/bounded_reduction.hpp"
#include "elastic/phi.hpp"
#include "elastic/probe.hpp"
#include "elastic/table.hpp"
#include "funnel/table.hpp"
#include "common/hash/table_hash.hpp"

namespace {

using tavoric::bench::BenchKey;
using Value = std::uint64_t;
using FunnelT = tavoric::funnel::FunnelTable<BenchKey, Value>;
using ElasticT = tavoric::elastic::ElasticTable<BenchKey, Value>;
namespace arena = tavoric::common::arena;
namespace probe = tavoric::elastic;

constexpr tavoric::common::hash::HashSeeds kSeeds{0x0123456789ABCDEFULL, 0x9E3779B97F4A7C15ULL};

// Stored key i and absent key i: pseudo-random integers by default, or
// 0, 1, 2, ... (absent: from 2^40 on), what range() gives a Python map, to
// show that consecutive ints hashed by their identity spread as well.
bool g_sequential = false;
BenchKey stored_key(std::size_t i) { return BenchKey{g_sequential ? i : tavoric::bench::stream_key(i)}; }
BenchKey absent_key(std::size_t i) {
    const std::uint64_t n = tavoric::bench::kAbsentStart + i;
    return BenchKey{g_sequential ? n : tavoric::bench::stream_key(n)};
}

[[noreturn]] void diverged(const char* table, const char* what, std::size_t i) {
    std::fprintf(stderr, "probe_stats: %s replay disagrees with the table (%s, key %zu)\n", table, what, i);
    std::exit(1);
}

struct Tally {
    double sum = 0;
    std::size_t max = 0;
    std::size_t count = 0;

    void add(std::size_t x) {
        sum += static_cast<double>(x);
        max = std::max(max, x);
        ++count;
    }
    double mean() const { return count == 0 ? 0.0 : sum / static_cast<double>(count); }
};

// Uniform probing at load a: expected probes of a successful lookup (also
// the average insertion over a fill from empty to a) and of an unsuccessful
// one.
double uniform_hit(double a) { return a <= 0 ? 1.0 : std::log(1.0 / (1.0 - a)) / a; }
double uniform_miss(double a) { return 1.0 / (1.0 - a); }

// ---- Funnel -----------------------------------------------------------------

struct FunnelWalk {
    tavoric::funnel::SearchOutcome outcome;
    std::size_t slot = 0;
    std::size_t probes = 0;
    std::size_t buckets = 0;  // level buckets, uniform slots and two-choice buckets reached
};

// The probe path of `key` as the table walks it, counting examined slots.
FunnelWalk walk_funnel(const FunnelT& t, const BenchKey& key, std::uint64_t h) {
    using tavoric::funnel::SearchOutcome;
    const auto& shape = t.inspect().shape();
    const auto ctrl = t.inspect().control_bytes();
    const std::uint8_t fp = arena::fingerprint_of(h);
    const auto pk = tavoric::funnel::ProbeKey::of(h);
    FunnelWalk walk{SearchOutcome::NoSlot};
    std::optional<std::size_t> first_free;
    // True when `slot` decides the walk.
    auto look = [&](std::size_t slot) {
        ++walk.probes;
        const std::uint8_t c = ctrl[slot];
        if (c == arena::kEmpty) {
            walk.outcome = SearchOutcome::Vacant;
            walk.slot = first_free.value_or(slot);
            return true;
        }
        if (c == arena::kTombstone) {
            if (!first_free) first_free = slot;
            return false;
        }
        if (c == fp && key.matches(t.entry_at(slot).key)) {
            walk.outcome = SearchOutcome::Found;
            walk.slot = slot;
            return true;
        }
        return false;
    };
    auto exhausted = [&] {
        walk.outcome = SearchOutcome::RetriesExhausted;
        return walk;
    };
    const std::size_t beta = shape.bucket_width;
    for (std::size_t i = 0; i < shape.level_count; ++i) {
        const auto& level = shape.levels[i];
        const auto bucket = pk.position(level.selector, level.bucket_count, level.threshold);
        if (!bucket) return exhausted();
        ++walk.buckets;
        for (std::size_t s = 0; s < beta; ++s)
            if (look(level.start + *bucket * beta + s)) return walk;
    }
    for (std::size_t j = 0; j < shape.uniform_probes; ++j) {
        const auto pos = pk.position(tavoric::funnel::kUniformSelector | ((j & 0xff) << 8), shape.uniform_size,
                                     shape.uniform_threshold);
        if (!pos) return exhausted();
        ++walk.buckets;
        if (look(shape.uniform_start + *pos)) return walk;
    }
    const auto b1 = pk.position(tavoric::funnel::kFirstChoiceSelector, shape.two_choice_buckets, shape.two_choice_threshold);
    const auto b2 = pk.position(tavoric::funnel::kSecondChoiceSelector, shape.two_choice_buckets, shape.two_choice_threshold);
    if (!b1 || !b2) return exhausted();
    walk.buckets += 2;
    const std::size_t w = shape.two_choice_width;
    for (std::size_t i = 0; i < w; ++i) {
        if (look(shape.two_choice_start + *b1 * w + i)) return walk;
        if (look(shape.two_choice_start + *b2 * w + i)) return walk;
    }
    if (first_free) {
        walk.outcome = tavoric::funnel::SearchOutcome::Vacant;
        walk.slot = *first_free;
    }
    return walk;
}

// Slots a displaced-mode full scan examines before it meets slot `until`
// (all slots when there is none).
std::size_t scan_cost(std::size_t slots, std::optional<std::size_t> until) { return until ? *until + 1 : slots; }

struct FunnelRow {
    std::uint32_t k;
    std::size_t slots, filled;
    Tally insert, hit, miss, miss_path, hit_buckets, path_buckets;
    std::size_t filter_passed = 0, fallbacks = 0;
    bool displaced = false;
};

FunnelRow funnel_row(std::uint32_t k, std::size_t budget, std::size_t misses) {
    using tavoric::funnel::SearchOutcome;
    auto built = FunnelT::try_with_insert_budget(budget, k, kSeeds);
    if (!built) {
        std::fprintf(stderr, "probe_stats: Funnel table k=%u refused: %s\n", k, built.error().message().c_str());
        std::exit(1);
    }
    FunnelT& t = *built;
    FunnelRow row{k, t.inspect().slot_count(), t.capacity(), {}, {}, {}, {}, {}, {}};

    for (std::size_t i = 0; i < row.filled; ++i) {
        const BenchKey key = stored_key(i);
        const std::uint64_t h = t.seeds().hash(key.cached_hash());
        const FunnelWalk walk = walk_funnel(t, key, h);
        if (walk.outcome == SearchOutcome::Found) diverged("Funnel", "insert found a new key", i);
        std::size_t cost = walk.probes;
        std::optional<std::size_t> expected;
        if (walk.outcome == SearchOutcome::Vacant) expected = walk.slot;
        if (!t.insert(BenchKey(key), i, h)) diverged("Funnel", "insert refused memory", i);
        const auto at = t.find(key, h);
        if (!at || (expected && *at != *expected)) diverged("Funnel", "insertion slot", i);
        if (!expected) {
            ++row.fallbacks;  // placed by the first-free-slot scan
            cost += *at + 1;
        }
        row.insert.add(cost);
    }
    if (t.len() != row.filled || t.inspect().slot_count() != row.slots) diverged("Funnel", "table grew while filling", 0);
    row.displaced = t.inspect().displaced();

    for (std::size_t i = 0; i < row.filled; ++i) {
        const BenchKey key = stored_key(i);
        const std::uint64_t h = t.seeds().hash(key.cached_hash());
        const FunnelWalk walk = walk_funnel(t, key, h);
        const auto at = t.find(key, h);
        if (!at) diverged("Funnel", "stored key not found", i);
        std::size_t cost = walk.probes;
        if (walk.outcome != SearchOutcome::Found) {
            if (!t.inspect().displaced()) diverged("Funnel", "hit off the path without displaced mode", i);
            cost += scan_cost(row.slots, at);
        } else if (walk.slot != *at) {
            diverged("Funnel", "hit slot", i);
        }
        row.hit.add(cost);
        row.hit_buckets.add(walk.buckets);
    }

    const auto filter = t.inspect().filter_words();
    for (std::size_t i = 0; i < misses; ++i) {
        const BenchKey key = absent_key(i);
        const std::uint64_t h = t.seeds().hash(key.cached_hash());
        if (t.find(key, h)) diverged("Funnel", "absent key found", i);
        const FunnelWalk walk = walk_funnel(t, key, h);
        if (walk.outcome == SearchOutcome::Found) diverged("Funnel", "miss walk found a key", i);
        const std::size_t path = walk.probes + (t.inspect().displaced() ? row.slots : 0);
        row.miss_path.add(path);
        row.path_buckets.add(walk.buckets);
        const auto bits = tavoric::common::arena::MembershipBits::of(h, filter.size());
        const bool passed = (filter[bits.record] & bits.mask) == bits.mask;
        row.filter_passed += passed ? 1 : 0;
        row.miss.add(passed ? path : 0);
    }
    return row;
}

// ---- Elastic ----------------------------------------------------------------

struct ElasticPlacement {
    std::optional<tavoric::elastic::ElasticLocation> location;
    std::size_t probes = 0;
};

// The batch rules' walk for a new key in the table's current state (the same
// batch advance the table makes before choosing), counting every probe.
ElasticPlacement replay_placement(const ElasticT& t, std::uint64_t H) {
    using tavoric::elastic::ElasticLocation;
    ElasticPlacement out;
    std::size_t batch = t.inspect().batch_index();
    std::size_t remaining = t.inspect().batch_remaining();
    const auto& quotas = t.inspect().batch_quotas();
    while (remaining == 0 && batch + 1 < quotas.size()) remaining = quotas[++batch];

    auto slot_of = [&](std::size_t level, std::size_t probe_t) {
        return probe::elastic_probe_slot(
            H, probe::elastic_selector(static_cast<std::uint32_t>(level), static_cast<std::uint32_t>(probe_t)),
            t.inspect().level(level).len);
    };
    // Probes t = 0 .. limit - 1 of a level; the first vacant slot wins.
    auto probe_level = [&](std::size_t level, std::size_t limit) -> std::optional<std::pair<std::size_t, std::size_t>> {
        const auto& lv = t.inspect().level(level);
        for (std::size_t probe_t = 0; probe_t < limit; ++probe_t) {
            ++out.probes;
            const auto slot = slot_of(level, probe_t);
            if (!arena::is_live(lv.ctrl[slot])) return std::pair{slot, probe_t + 1};
        }
        return std::nullopt;
    };
    auto uniform = [&](std::size_t level) {
        const std::size_t usable = level < tavoric::elastic::kUsableProbes.size() ? tavoric::elastic::kUsableProbes[level]
                                                                                   : tavoric::elastic::kUniformProbes;
        return probe_level(level, usable);
    };

    std::optional<std::pair<std::size_t, std::size_t>> hit;
    std::size_t level = 0;
    if (batch == 0) {
        hit = uniform(0);
    } else {
        const std::size_t c = batch - 1, x = batch;
        if (x >= t.inspect().level_count()) return out;
        const auto& cur = t.inspect().level(c);
        const auto& next = t.inspect().level(x);
        const std::size_t free_c = cur.len > cur.occupied ? cur.len - cur.occupied : 0;
        const std::size_t free_x = next.len > next.occupied ? next.len - next.occupied : 0;
        const std::uint32_t k = t.reserve_exponent();
        if (free_c <= tavoric::elastic::elastic_reserve_share(cur.len, k)) {
            level = x;
            hit = uniform(x);
        } else if (4 * free_x <= next.len) {
            level = c;
            hit = uniform(c);
        } else {
            const std::size_t q = (cur.len + free_c - 1) / free_c;
            const std::size_t bits = q <= 1 ? 0 : static_cast<std::size_t>(std::bit_width(q - 1));
            const std::size_t budget = std::min<std::size_t>(bits * bits, k);
            level = c;
            hit = probe_level(c, 8 * budget);
            if (!hit) {
                level = x;
                hit = uniform(x);
            }
        }
    }
    if (!hit) return out;
    const auto phi = probe::elastic_phi64(level + 1, hit->second);
    if (hit->second > tavoric::elastic::kMaxProbeNumber || !phi || *phi > probe::kPhiCap) return out;
    out.location = ElasticLocation{level, hit->first};
    return out;
}

struct ElasticLookup {
    std::optional<tavoric::elastic::ElasticLocation> location;
    std::size_t probes = 0;
    bool filter_passed = false;
};

// The lookup walk: primary slot, membership group, then the schedule routes
// of the key's lanes; a full scan where the table would make one.
ElasticLookup replay_lookup(const ElasticT& t, const BenchKey& key, std::uint64_t h) {
    using tavoric::elastic::ElasticLocation;
    ElasticLookup out;
    if (t.len() == 0 || t.inspect().level_count() == 0) return out;
    const auto p = probe::elastic_prepare(h);
    auto matches = [&](std::size_t level, std::size_t slot) {
        ++out.probes;
        const auto& lv = t.inspect().level(level);
        return lv.ctrl[slot] == p.fingerprint && key.matches(lv.entries[slot].key);
    };
    auto full_scan = [&]() {
        for (std::size_t l = 0; l < t.inspect().level_count(); ++l)
            for (std::size_t s = 0; s < t.inspect().level(l).len; ++s)
                if (matches(l, s)) {
                    out.location = ElasticLocation{l, s};
                    return out;
                }
        return out;
    };
    const auto p0 = probe::elastic_probe_slot(p.prepared, probe::elastic_selector(0, 0), t.inspect().level(0).len);
    const auto& group = t.inspect().membership()[tavoric::common::arena::MembershipBits::record_of(p.prepared, t.inspect().membership_groups())];
    out.filter_passed = (group.bloom & p.membership) == p.membership;
    const std::uint32_t lanes =
        t.inspect().level_count() <= tavoric::elastic::kMaxLaneLevels ? group.lanes[p.prepared & 3] : ~std::uint32_t{0};
    if (matches(0, p0)) {
        out.location = ElasticLocation{0, p0};
        return out;
    }
    if (!out.filter_passed) return out;
    for (const auto& route : t.inspect().schedule()) {
        const std::uint32_t level = probe::elastic_selector_level(route.selector);
        if (((lanes >> level) & 1u) == 0) continue;
        const auto slot = probe::elastic_probe_slot(p.prepared, route.selector, route.key);
        if (matches(level, slot)) {
            out.location = ElasticLocation{level, slot};
            return out;
        }
    }
    if (t.inspect().schedule().exceptional()) return full_scan();
    return out;
}

struct ElasticRow {
    std::uint32_t k;
    std::size_t slots, filled;
    Tally insert, hit, miss;
    std::size_t filter_passed = 0, rebuilds = 0, routes = 0;
    bool exceptional = false;
};

ElasticRow elastic_row(std::uint32_t k, std::size_t slots, std::size_t misses) {
    const std::size_t limit = tavoric::common::arena::insert_budget_for(slots, k);
    auto built = ElasticT::try_with_capacity_and_reserve_and_hasher_in(limit, k, kSeeds);
    if (!built) {
        std::fprintf(stderr, "probe_stats: Elastic table k=%u refused: %s\n", k, built.error().message().c_str());
        std::exit(1);
    }
    ElasticT& t = *built;
    ElasticRow row{k, t.inspect().slots(), t.capacity(), {}, {}, {}};
    if (row.slots != slots || row.filled != limit) diverged("Elastic", "table size", 0);

    for (std::size_t i = 0; i < row.filled; ++i) {
        const BenchKey key = stored_key(i);
        const std::uint64_t h = t.seeds().hash(key.cached_hash());
        const auto p = probe::elastic_prepare(h);
        const ElasticPlacement replay = replay_placement(t, p.prepared);
        // The table's own choice for the same state must agree.
        std::size_t batch = t.inspect().batch_index(), remaining = t.inspect().batch_remaining();
        while (remaining == 0 && batch + 1 < t.inspect().batch_quotas().size()) remaining = t.inspect().batch_quotas()[++batch];
        const auto choice =
            t.choose_slot_for_new_key(p.prepared, batch == 0 ? std::nullopt : std::optional<std::size_t>(batch - 1));
        if (choice.has_value() != replay.location.has_value() ||
            (choice && (choice->level != replay.location->level || choice->slot != replay.location->slot)))
            diverged("Elastic", "placement choice", i);
        if (!t.insert(BenchKey(key), i, h)) diverged("Elastic", "insert refused memory", i);
        if (!choice) {
            // No usable probe: the table rebuilt at the same size and placed
            // the key again (or exceptionally); this walk's probes are counted.
            ++row.rebuilds;
        } else if (t.find(key, h) != replay.location) {
            diverged("Elastic", "insertion slot", i);
        }
        row.insert.add(replay.probes);
    }
    if (t.len() != row.filled || t.inspect().slots() != row.slots) diverged("Elastic", "table grew while filling", 0);
    row.exceptional = t.inspect().schedule().exceptional();
    row.routes = t.inspect().schedule().size();

    for (std::size_t i = 0; i < row.filled; ++i) {
        const BenchKey key = stored_key(i);
        const std::uint64_t h = t.seeds().hash(key.cached_hash());
        const ElasticLookup walk = replay_lookup(t, key, h);
        const auto at = t.find(key, h);
        if (!at || walk.location != at) diverged("Elastic", "hit slot", i);
        row.hit.add(walk.probes);
    }
    for (std::size_t i = 0; i < misses; ++i) {
        const BenchKey key = absent_key(i);
        const std::uint64_t h = t.seeds().hash(key.cached_hash());
        const ElasticLookup walk = replay_lookup(t, key, h);
        if (walk.location || t.find(key, h)) diverged("Elastic", "absent key found", i);
        row.filter_passed += walk.filter_passed ? 1 : 0;
        row.miss.add(walk.probes);
    }
    return row;
}

// ---- output -----------------------------------------------------------------

double load(std::size_t filled, std::size_t slots) { return static_cast<double>(filled) / static_cast<double>(slots); }

void print_funnel(std::size_t budget, std::size_t misses) {
    std::printf("Funnel table, insert budget >= %zu, filled to its budget; %zu absent keys looked up\n", budget, misses);
    std::printf("probes = slots examined. ins: per insertion; hit: per successful lookup; miss: per unsuccessful\n"
                "lookup (membership filter first, 0 slots when it rejects); mpath: the probe path of an absent key\n"
                "without the filter; bk: mean buckets and uniform slots the hit / the miss path reaches\n");
    std::printf("%3s %8s %8s %8s | %7s %5s | %7s %5s %5s | %7s %5s %7s | %7s %5s %5s | %8s %8s | %s\n", "k", "slots",
                "filled", "load", "ins", "max", "hit", "max", "bk", "miss", "max", "pass%", "mpath", "max", "bk",
                "uni-hit", "uni-miss", "notes");
    for (std::uint32_t k = 3; k <= 8; ++k) {
        const FunnelRow r = funnel_row(k, budget, misses);
        const double a = load(r.filled, r.slots);
        char notes[96] = "-";
        if (r.fallbacks != 0 || r.displaced)
            std::snprintf(notes, sizeof notes, "%zu fallback placements%s", r.fallbacks, r.displaced ? ", displaced" : "");
        std::printf("%3u %8zu %8zu %8.5f | %7.2f %5zu | %7.2f %5zu %5.1f | %7.2f %5zu %6.1f%% | %7.2f %5zu %5.1f | %8.2f "
                    "%8.1f | %s\n",
                    r.k, r.slots, r.filled, a, r.insert.mean(), r.insert.max, r.hit.mean(), r.hit.max,
                    r.hit_buckets.mean(), r.miss.mean(), r.miss.max,
                    100.0 * static_cast<double>(r.filter_passed) / static_cast<double>(misses), r.miss_path.mean(),
                    r.miss_path.max, r.path_buckets.mean(), uniform_hit(a), uniform_miss(a), notes);
        std::fflush(stdout);
    }
}

void print_elastic(std::size_t slots, std::size_t misses) {
    std::printf("Elastic table, %zu slots, filled to its insert limit; %zu absent keys looked up\n", slots, misses);
    std::printf("probes = slots examined. ins: the batch rules' probes per insertion (an insert first makes an\n"
                "unsuccessful lookup, the miss column); hit: per successful lookup; miss: per unsuccessful lookup\n"
                "(primary slot, then the routes of the key's lanes when the bloom word admits it); routes: schedule length\n");
    std::printf("%3s %8s %8s %8s | %7s %5s | %7s %5s | %7s %5s %7s | %6s | %8s %8s | %s\n", "k", "slots", "filled", "load",
                "ins", "max", "hit", "max", "miss", "max", "pass%", "routes", "uni-hit", "uni-miss", "notes");
    for (std::uint32_t k = 1; k <= 10; ++k) {
        const ElasticRow r = elastic_row(k, slots, misses);
        const double a = load(r.filled, r.slots);
        char notes[96] = "-";
        if (r.rebuilds != 0 || r.exceptional)
            std::snprintf(notes, sizeof notes, "%zu same-size rebuilds%s", r.rebuilds,
                          r.exceptional ? ", exceptional entries" : "");
        std::printf("%3u %8zu %8zu %8.5f | %7.2f %5zu | %7.2f %5zu | %7.2f %5zu %6.1f%% | %6zu | %8.2f %8.1f | %s\n", r.k,
                    r.slots, r.filled, a, r.insert.mean(), r.insert.max, r.hit.mean(), r.hit.max, r.miss.mean(),
                    r.miss.max, 100.0 * static_cast<double>(r.filter_passed) / static_cast<double>(misses), r.routes,
                    uniform_hit(a), uniform_miss(a), notes);
        std::fflush(stdout);
    }
}

}  // namespace

// Usage: tavoric_probe_stats [funnel-budget elastic-slots [sequential]]
int main(int argc, char** argv) {
    std::size_t budget = 100000;
    std::size_t slots = std::size_t{1} << 17;
    const bool usage_ok = argc == 1 || argc == 3 || (argc == 4 && std::strcmp(argv[3], "sequential") == 0);
    if (usage_ok && argc >= 3) {
        budget = std::strtoull(argv[1], nullptr, 10);
        slots = std::strtoull(argv[2], nullptr, 10);
        g_sequential = argc == 4;
    }
    if (!usage_ok) {
        std::fprintf(stderr, "usage: %s [funnel-budget elastic-slots [sequential]]\n", argv[0]);
        return 2;
    }
    if (budget == 0 || slots < 8 || (slots & (slots - 1)) != 0) {
        std::fprintf(stderr, "probe_stats: the budget must be positive and the slot count a power of two >= 8\n");
        return 2;
    }
    const std::size_t misses = 100000;
    std::printf("keys: %s, cached hash = the integer itself\n",
                g_sequential ? "0, 1, 2, ... (absent: 2^40, 2^40 + 1, ...)" : "distinct pseudo-random 64-bit integers");
    std::printf("uni-hit = (1/a) ln(1/(1-a)), uni-miss = 1/(1-a): uniform probing's expected successful and\n"
                "unsuccessful probes at load a (its average insertion over the fill equals uni-hit)\n\n");
    print_funnel(budget, misses);
    std::printf("\n");
    print_elastic(slots, misses);
    return 0;
}
