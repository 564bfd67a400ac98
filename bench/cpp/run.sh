#!/usr/bin/env bash
# Builds the C++ benchmarks in Release (own build folder, at most two jobs)
# and runs them all, printing:
#   1. the map operations of the Funnel and Elastic maps next to
#      std::unordered_map and absl::flat_hash_map, ending in a table of
#      nanoseconds per key with the ratios to both reference maps;
#   2. the time of the Funnel size search for budget 1 and k = 3 to 31;
#   3. the probe statistics at fill 1 - delta (Funnel k = 3 to 8, Elastic
#      k = 1 to 10) at about 10^5 and 10^6 entries, and once more at 10^5
#      with the keys 0, 1, 2, ... that range() gives.
# The whole run takes a few minutes on a 2-core machine.
#
# Usage: bench/cpp/run.sh [build-dir]      (default: build-bench in the checkout)
# BENCH_MIN_TIME (seconds per repetition, default 0.1) and BENCH_REPETITIONS
# (default 3; the summary uses the median) tune the map benchmarks;
# BENCH_FILTER (a regular expression over names like insert/funnel/1000)
# selects some of them.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-$top/build-bench}
min_time=${BENCH_MIN_TIME:-0.1}
repetitions=${BENCH_REPETITIONS:-3}
filter=${BENCH_FILTER:-.}

mkdir -p "$build"
{
    cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTAVORIC_BUILD_MODULE=OFF \
        -DTAVORIC_BUILD_CPP_TESTS=OFF -DTAVORIC_BUILD_BENCHMARKS=ON -DTAVORIC_WERROR=ON
    cmake --build "$build" -j 2 --target tavoric_map_bench tavoric_size_search_bench tavoric_probe_stats
} >"$build/bench-build.log" 2>&1 || { cat "$build/bench-build.log" >&2; exit 1; }
bin=$build/bench/cpp

echo "== machine"
echo "date: $(date -u '+%Y-%m-%d %H:%M UTC'); commit: $(git -C "$top" rev-parse --short HEAD 2>/dev/null || echo unknown)"
echo "nproc: $(nproc)"
lscpu | head -n 20
echo "compiler: $(c++ --version | head -n 1); build type Release"
echo "command: bench/cpp/run.sh (BENCH_MIN_TIME=$min_time BENCH_REPETITIONS=$repetitions BENCH_FILTER=$filter)"

echo
echo "== map operations (ns per key; CPU time; the machine is shared, so read ratios, not absolutes)"
echo "(the code measured is built -O3 -DNDEBUG; a 'Library was built as DEBUG' warning refers to the"
echo " distribution's Google Benchmark library itself)"
"$bin/tavoric_map_bench" --benchmark_min_time="$min_time" --benchmark_repetitions="$repetitions" \
    --benchmark_filter="$filter"

echo
echo "== Funnel size search, budget 1 (no table allocated)"
"$bin/tavoric_size_search_bench" --benchmark_min_time=0.05

echo
echo "== probe statistics at fill 1 - delta, about 10^5 entries"
"$bin/tavoric_probe_stats" 100000 131072
echo
echo "== probe statistics at fill 1 - delta, about 10^6 entries"
"$bin/tavoric_probe_stats" 1000000 1048576
echo
echo "== probe statistics at fill 1 - delta, about 10^5 entries, keys 0, 1, 2, ..."
"$bin/tavoric_probe_stats" 100000 131072 sequential
