// Operation benchmarks of the Funnel and Elastic maps against the reference
// maps std::unordered_map and absl::flat_hash_map, in one run so that the
// ratios compare like with like on a shared machine.
//
// Every benchmark handles n keys per iteration and reports the time per key
// in the "per_op" counter:
//   insert      n new keys into an empty map (growth included, no reserve)
//   insert_sized  the same into a map created for n entries (no growth)
//   find_hit    n lookups of stored keys, in an order unrelated to insertion
//   find_miss   n lookups of keys that are not stored
//   erase       n removals of stored keys (rebuilds the removals cause
//               included), in an order unrelated to insertion
//   iterate     one walk over all n entries
// Building the map a benchmark needs and destroying it are not timed. The
// "load" counter is the map's entries per slot (std::unordered_map: per
// bucket) once filled: growth from empty leaves each map at a different
// point of its load cycle, which explains much of the difference between
// sizes.
//
// The tavoric maps run through map::HashMap exactly as the Python classes use
// them (container table hash with fresh seeds, reserve exponent 3, the
// default). Keys are BenchKey (bench_keys.hpp): the cached hash is the
// integer itself, as for Python ints; the reference maps hash the plain
// uint64_t with their default hashers (std::hash, the identity in libstdc++;
// absl::Hash).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#ifdef TAVORIC_BENCH_HAVE_ABSL
#include <absl/container/flat_hash_map.h>
#endif

#include "bench_keys.hpp"
#include "elastic/table.hpp"
#include "funnel/table.hpp"
#include "map/hash_map.hpp"
#include "common/hash/table_hash.hpp"

namespace {

using tavoric::bench::BenchKey;
using Value = std::uint64_t;

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "map_bench: %s\n", what);
    std::abort();
}

// One uniform face per map: insert, lookup (value or 0), erase, sum of values.
struct StdMap {
    static constexpr const char* kName = "std_unordered_map";
    std::unordered_map<std::uint64_t, Value> m;
    StdMap() = default;
    explicit StdMap(std::size_t n) { m.reserve(n); }
    void insert(std::uint64_t k, Value v) { m.emplace(k, v); }
    Value find(std::uint64_t k) const {
        auto it = m.find(k);
        return it == m.end() ? 0 : it->second;
    }
    bool erase(std::uint64_t k) { return m.erase(k) != 0; }
    Value sum() const {
        Value s = 0;
        for (const auto& [k, v] : m) s += v;
        return s;
    }
    std::size_t size() const { return m.size(); }
    // Entries per bucket (a chained table: buckets, not slots).
    double load() const { return static_cast<double>(m.size()) / static_cast<double>(m.bucket_count()); }
};

#ifdef TAVORIC_BENCH_HAVE_ABSL
struct AbslMap {
    static constexpr const char* kName = "absl_flat_hash_map";
    absl::flat_hash_map<std::uint64_t, Value> m;
    AbslMap() = default;
    explicit AbslMap(std::size_t n) { m.reserve(n); }
    void insert(std::uint64_t k, Value v) { m.emplace(k, v); }
    Value find(std::uint64_t k) const {
        auto it = m.find(k);
        return it == m.end() ? 0 : it->second;
    }
    bool erase(std::uint64_t k) { return m.erase(k) != 0; }
    Value sum() const {
        Value s = 0;
        for (const auto& [k, v] : m) s += v;
        return s;
    }
    std::size_t size() const { return m.size(); }
    double load() const { return static_cast<double>(m.size()) / static_cast<double>(m.capacity()); }
};
#endif

using FunnelTableT = tavoric::funnel::FunnelTable<BenchKey, Value>;
using ElasticTableT = tavoric::elastic::ElasticTable<BenchKey, Value>;

// The two tavoric maps share everything but how the empty table is made.
template <class Table>
struct TavoricMap {
    tavoric::map::HashMap<BenchKey, Value, Table> m;

    explicit TavoricMap(Table table) : m(std::move(table)) {}
    void insert(std::uint64_t k, Value v) {
        if (!m.insert(BenchKey{k}, v)) die("insert refused memory");
    }
    Value find(std::uint64_t k) const {
        const auto* entry = m.get(BenchKey{k});
        return entry == nullptr ? 0 : entry->value;
    }
    bool erase(std::uint64_t k) { return m.remove(BenchKey{k}).has_value(); }
    Value sum() const {
        Value s = 0;
        for (const auto& entry : m.iter()) s += entry.value;
        return s;
    }
    std::size_t size() const { return m.len(); }
    double load() const { return static_cast<double>(m.len()) / static_cast<double>(slots(m.table())); }
    static std::size_t slots(const FunnelTableT& t) { return t.inspect().slot_count(); }
    static std::size_t slots(const ElasticTableT& t) { return t.inspect().slots(); }
};

constexpr std::uint32_t kReserveExponent = 3;

struct FunnelMap : TavoricMap<FunnelTableT> {
    static constexpr const char* kName = "funnel";
    FunnelMap() : TavoricMap(make(0)) {}
    explicit FunnelMap(std::size_t n) : TavoricMap(make(n)) {}
    static FunnelTableT make(std::size_t n) {
        auto t = FunnelTableT::try_with_insert_budget(n, kReserveExponent, tavoric::common::hash::HashSeeds::fresh());
        if (!t) die("Funnel table refused");
        return std::move(*t);
    }
};

struct ElasticMap : TavoricMap<ElasticTableT> {
    static constexpr const char* kName = "elastic";
    ElasticMap() : TavoricMap(make(0)) {}
    explicit ElasticMap(std::size_t n) : TavoricMap(make(n)) {}
    static ElasticTableT make(std::size_t n) {
        auto t = ElasticTableT::try_with_capacity_and_reserve_and_hasher_in(n, kReserveExponent,
                                                                          tavoric::common::hash::HashSeeds::fresh());
        if (!t) die("Elastic table refused");
        return std::move(*t);
    }
};

// Stored keys in insertion order, the same keys in a shuffled order (for
// lookups and removals), and as many absent keys.
struct Workload {
    std::vector<std::uint64_t> stored;
    std::vector<std::uint64_t> shuffled;
    std::vector<std::uint64_t> absent;

    explicit Workload(std::size_t n)
        : stored(tavoric::bench::stream_keys(0, n)), shuffled(stored), absent(tavoric::bench::stream_keys(tavoric::bench::kAbsentStart, n)) {
        std::mt19937_64 rng(0x7A0E1C);
        std::shuffle(shuffled.begin(), shuffled.end(), rng);
    }
};

const Workload& workload(std::size_t n) {
    static std::optional<Workload> cached;
    if (!cached || cached->stored.size() != n) cached.emplace(n);
    return *cached;
}

template <class Map>
void fill(Map& m, const Workload& w) {
    for (std::size_t i = 0; i < w.stored.size(); ++i) m.insert(w.stored[i], i + 1);
    if (m.size() != w.stored.size()) die("fill lost keys");
}

void per_op(benchmark::State& state, std::size_t n) {
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * n));
    state.counters["per_op"] =
        benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Sized: the map is created for n entries (creation timed too).
template <class Map, bool Sized>
void bm_insert(benchmark::State& state, std::size_t n) {
    const Workload& w = workload(n);
    for (auto _ : state) {
        std::optional<Map> m;
        if constexpr (Sized) {
            m.emplace(n);
        } else {
            m.emplace();
        }
        for (std::size_t i = 0; i < n; ++i) m->insert(w.stored[i], i + 1);
        benchmark::DoNotOptimize(m->size());
        state.PauseTiming();
        if (m->size() != n) die("insert lost keys");
        state.counters["load"] = m->load();
        m.reset();
        state.ResumeTiming();
    }
    per_op(state, n);
}

template <class Map>
void bm_find_hit(benchmark::State& state, std::size_t n) {
    const Workload& w = workload(n);
    Map m;
    fill(m, w);
    state.counters["load"] = m.load();
    Value total = 0;
    for (auto _ : state) {
        Value s = 0;
        for (std::uint64_t k : w.shuffled) s += m.find(k);
        benchmark::DoNotOptimize(s);
        total = s;
    }
    if (total != static_cast<Value>(n) * (n + 1) / 2) die("find_hit missed a key");
    per_op(state, n);
}

template <class Map>
void bm_find_miss(benchmark::State& state, std::size_t n) {
    const Workload& w = workload(n);
    Map m;
    fill(m, w);
    state.counters["load"] = m.load();
    Value total = 0;
    for (auto _ : state) {
        Value s = 0;
        for (std::uint64_t k : w.absent) s += m.find(k);
        benchmark::DoNotOptimize(s);
        total |= s;
    }
    if (total != 0) die("find_miss found an absent key");
    per_op(state, n);
}

template <class Map>
void bm_erase(benchmark::State& state, std::size_t n) {
    const Workload& w = workload(n);
    for (auto _ : state) {
        state.PauseTiming();
        std::optional<Map> m;
        m.emplace();
        fill(*m, w);
        state.counters["load"] = m->load();
        state.ResumeTiming();
        std::size_t erased = 0;
        for (std::uint64_t k : w.shuffled) erased += m->erase(k) ? 1 : 0;
        benchmark::DoNotOptimize(erased);
        state.PauseTiming();
        if (erased != n || m->size() != 0) die("erase missed a key");
        m.reset();
        state.ResumeTiming();
    }
    per_op(state, n);
}

template <class Map>
void bm_iterate(benchmark::State& state, std::size_t n) {
    const Workload& w = workload(n);
    Map m;
    fill(m, w);
    state.counters["load"] = m.load();
    Value total = 0;
    for (auto _ : state) {
        Value s = m.sum();
        benchmark::DoNotOptimize(s);
        total = s;
    }
    if (total != static_cast<Value>(n) * (n + 1) / 2) die("iterate missed an entry");
    per_op(state, n);
}

template <class Map>
void register_map(const char* op, void (*fn)(benchmark::State&, std::size_t), std::size_t n) {
    const std::string name = std::string(op) + "/" + Map::kName + "/" + std::to_string(n);
    benchmark::RegisterBenchmark(name.c_str(), fn, n)->Unit(benchmark::kMicrosecond);
}

constexpr std::size_t kSizes[] = {1000, 10000, 100000, 1000000};

// Registered size by size, then operation by operation, so each workload is
// generated once and the maps of one row run back to back.
void register_all() {
    for (std::size_t n : kSizes) {
        auto row = [n]<class Map>(Map*) {
            register_map<Map>("insert", bm_insert<Map, false>, n);
            register_map<Map>("insert_sized", bm_insert<Map, true>, n);
            register_map<Map>("find_hit", bm_find_hit<Map>, n);
            register_map<Map>("find_miss", bm_find_miss<Map>, n);
            register_map<Map>("erase", bm_erase<Map>, n);
            register_map<Map>("iterate", bm_iterate<Map>, n);
        };
        row(static_cast<FunnelMap*>(nullptr));
        row(static_cast<ElasticMap*>(nullptr));
        row(static_cast<StdMap*>(nullptr));
#ifdef TAVORIC_BENCH_HAVE_ABSL
        row(static_cast<AbslMap*>(nullptr));
#endif
    }
}

// The usual console output, then one table: CPU nanoseconds per key for every
// operation, size and map, and the tavoric maps' times divided by the
// reference maps' (below 1: the tavoric map is faster). With repetitions the
// median of the repetitions is used.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        // With repetitions only the median line of each benchmark is shown.
        std::vector<Run> shown;
        for (const Run& run : runs) {
            if (run.repetitions <= 1 || (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median"))
                shown.push_back(run);
        }
        if (!shown.empty()) ConsoleReporter::ReportRuns(shown);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) continue;
            const std::string& name = run.run_name.function_name;
            const std::size_t a = name.find('/'), b = name.rfind('/');
            if (a == std::string::npos || a == b) continue;
            const double n = std::stod(name.substr(b + 1));
            const double ns = run.cpu_accumulated_time / static_cast<double>(run.iterations) / n * 1e9;
            const Key key{name.substr(0, a), std::stoull(name.substr(b + 1)), name.substr(a + 1, b - a - 1)};
            samples_[key].push_back(ns);
            // Every benchmark but insert_sized fills an empty map with n keys.
            if (auto it = run.counters.find("load"); it != run.counters.end() && key.op != "insert_sized")
                loads_[{key.map, key.n}] = it->second.value;
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::FILE* out = stdout;
        std::fprintf(out, "\nCPU ns per key (median of repetitions); ratio = tavoric map / reference map, below 1 is faster\n");
        std::fprintf(out, "%-12s %8s | %8s %8s %8s %8s | %7s %7s %7s %7s\n", "op", "n", "funnel", "elastic", "std_um",
                     "absl", "F/std", "F/absl", "E/std", "E/absl");
        for (const char* op : {"insert", "insert_sized", "find_hit", "find_miss", "erase", "iterate"}) {
            for (std::size_t n : kSizes) {
                const double f = median(op, n, FunnelMap::kName), e = median(op, n, ElasticMap::kName);
                const double s = median(op, n, StdMap::kName);
#ifdef TAVORIC_BENCH_HAVE_ABSL
                const double x = median(op, n, AbslMap::kName);
#else
                const double x = 0;
#endif
                if (f == 0 && e == 0 && s == 0 && x == 0) continue;
                std::fprintf(out, "%-12s %8zu | %8.1f %8.1f %8.1f %8.1f | %7s %7s %7s %7s\n", op, n, f, e, s, x,
                             ratio(f, s).c_str(), ratio(f, x).c_str(), ratio(e, s).c_str(), ratio(e, x).c_str());
            }
        }
        std::fprintf(out, "\nload of the maps the find, erase and iterate rows use (n keys inserted into an empty map):\n"
                          "entries / slots; for std::unordered_map entries per bucket\n");
        std::fprintf(out, "%-12s %8s | %8s %8s %8s %8s\n", "", "n", "funnel", "elastic", "std_um", "absl");
        for (std::size_t n : kSizes) {
            if (load(n, FunnelMap::kName) == 0 && load(n, ElasticMap::kName) == 0 && load(n, StdMap::kName) == 0) continue;
            std::fprintf(out, "%-12s %8zu | %8.3f %8.3f %8.3f %8.3f\n", "load", n, load(n, FunnelMap::kName),
                         load(n, ElasticMap::kName), load(n, StdMap::kName),
#ifdef TAVORIC_BENCH_HAVE_ABSL
                         load(n, AbslMap::kName));
#else
                         0.0);
#endif
        }
        std::fflush(out);
    }

private:
    struct Key {
        std::string op;
        std::size_t n;
        std::string map;
        friend bool operator<(const Key& l, const Key& r) {
            return std::tie(l.op, l.n, l.map) < std::tie(r.op, r.n, r.map);
        }
    };

    double median(const char* op, std::size_t n, const char* map) const {
        auto it = samples_.find(Key{op, n, map});
        if (it == samples_.end() || it->second.empty()) return 0;
        std::vector<double> v = it->second;
        std::sort(v.begin(), v.end());
        const std::size_t m = v.size() / 2;
        return v.size() % 2 == 1 ? v[m] : (v[m - 1] + v[m]) / 2;
    }

    double load(std::size_t n, const char* map) const {
        auto it = loads_.find({map, n});
        return it == loads_.end() ? 0.0 : it->second;
    }

    static std::string ratio(double a, double b) {
        if (a == 0 || b == 0) return "-";
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.2f", a / b);
        return buf;
    }

    std::map<Key, std::vector<double>> samples_;
    std::map<std::pair<std::string, std::size_t>, double> loads_;
};

}  // namespace

int main(int argc, char** argv) {
    register_all();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
