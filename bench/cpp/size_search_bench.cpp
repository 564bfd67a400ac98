// Time of the Funnel size search for budget 1 and every exponent k = 3 to 31:
// the smallest admissible slot count, found without allocating a table.
// The counters show the answer ("slots", 0 when no size exists below the
// slot-count limit) and how many geometries the search tried ("attempts"),
// which stays at a few dozen for every k although the answer lies about
// 26.7 * 2^k slots past the search start.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <optional>
#include <string>

#include "funnel/layout.hpp"

namespace {

void bm_size_search(benchmark::State& state, std::uint32_t k) {
    std::optional<std::size_t> slots;
    for (auto _ : state) {
        slots = tavoric::funnel::smallest_admissible_slots(1, k);
        benchmark::DoNotOptimize(slots);
    }
    state.counters["slots"] = static_cast<double>(slots.value_or(0));
    state.counters["attempts"] = static_cast<double>(tavoric::funnel::size_search_attempts());
}

}  // namespace

int main(int argc, char** argv) {
    for (std::uint32_t k = 3; k <= 31; ++k) {
        const std::string name = "size_search/budget_1/k_" + std::to_string(k);
        benchmark::RegisterBenchmark(name.c_str(), bm_size_search, k)->Unit(benchmark::kMicrosecond);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
