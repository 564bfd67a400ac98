#!/usr/bin/env bash
# Instructions per operation of the Funnel and Elastic tables' lookups and
# insertions next to the floor their probe positions impose (walk_floor.cpp
# and walk_floor_elastic.cpp say what each floor is and what it leaves out).
# Builds tavoric_walk_floor and tavoric_walk_floor_elastic in Release (own
# build folder, at most two jobs) and runs each operation under callgrind
# twice after the same setup: for L1 and L2 operations, or, for the fills
# from empty (Funnel and Elastic), for 0 and all n = 100000 keys;
# (total(L2) - total(L1)) / (L2 - L1) is the cost of one operation (one
# placed entry for the fills), with setup and start cancelled out (the
# programs run no teardown). Seeds are fixed (TAVORIC_HASH_SEED), so the
# counts repeat. Last, each real row over its floor: the ratio and the
# difference per operation.
#
# Usage: bench/cpp/walk_floor.sh [build-dir]   (default: build-walk-floor in the checkout)
# WALK_L1 / WALK_L2 (default 10000 / 50000; L2 at most 50000) and
# TAVORIC_HASH_SEED (default 1) may be set.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-$top/build-walk-floor}
l1=${WALK_L1:-10000}
l2=${WALK_L2:-50000}
fill_n=100000  # the fills place all n keys of both programs' tables
export TAVORIC_HASH_SEED=${TAVORIC_HASH_SEED:-1}

mkdir -p "$build"
{
    cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTAVORIC_BUILD_MODULE=OFF \
        -DTAVORIC_BUILD_CPP_TESTS=OFF -DTAVORIC_BUILD_BENCHMARKS=ON -DTAVORIC_WERROR=ON
    cmake --build "$build" -j 2 --target tavoric_walk_floor tavoric_walk_floor_elastic
} >"$build/walk-floor-build.log" 2>&1 || { cat "$build/walk-floor-build.log" >&2; exit 1; }
bin=$build/bench/cpp/tavoric_walk_floor
ebin=$build/bench/cpp/tavoric_walk_floor_elastic
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Total instructions of one callgrind run of BINARY OPERATION COUNT: the
# "summary:" line, else "totals:".
total() {
    local out=$tmp/$2.$3.out
    valgrind --tool=callgrind --callgrind-out-file="$out" "$1" "$2" "$3" >"$tmp/$2.$3.log" 2>&1 ||
        { cat "$tmp/$2.$3.log" >&2; exit 1; }
    local n
    n=$(awk '/^summary:/ {print $2; exit}' "$out")
    [[ -n $n ]] || n=$(awk '/^totals:/ {print $2; exit}' "$out")
    [[ -n $n ]] || { echo "no total in $out" >&2; exit 1; }
    echo "$n"
}

echo "commit: $(git -C "$top" rev-parse --short HEAD 2>/dev/null || echo unknown); TAVORIC_HASH_SEED=$TAVORIC_HASH_SEED;" \
    "L1=$l1 L2=$l2, fills 0 and $fill_n; $(c++ --version | head -n 1), Release"
echo "Funnel:"
"$bin" find_hit 0 | sed 's/^setup: /  /'
echo "Elastic:"
"$ebin" elastic_find_hit 0 | sed 's/^setup: /  /'
echo
printf '%-22s %8s %8s %16s %16s %14s\n' operation L1 L2 "total(L1)" "total(L2)" "instr/op"
declare -A per
# row BINARY OPERATION L1 L2: one line of the table, per[OPERATION] set.
row() {
    local a b
    a=$(total "$1" "$2" "$3")
    b=$(total "$1" "$2" "$4")
    per[$2]=$(awk -v a="$a" -v b="$b" -v l1="$3" -v l2="$4" 'BEGIN {printf "%.2f", (b - a) / (l2 - l1)}')
    printf '%-22s %8s %8s %16s %16s %14s\n' "$2" "$3" "$4" "$a" "$b" "${per[$2]}"
}
for op in find_hit floor_hit find_miss floor_miss insert_new floor_insert; do row "$bin" "$op" "$l1" "$l2"; done
for op in fill_distinct floor_fill fill_insert; do row "$bin" "$op" 0 "$fill_n"; done
for op in elastic_find_hit elastic_floor_hit elastic_find_miss elastic_floor_miss elastic_insert_new \
    elastic_floor_insert; do row "$ebin" "$op" "$l1" "$l2"; done
for op in elastic_fill_distinct elastic_floor_fill elastic_fill_insert; do row "$ebin" "$op" 0 "$fill_n"; done
echo
ratio() {
    awk -v r="${per[$1]}" -v f="${per[$2]}" -v a="$1" -v b="$2" \
        'BEGIN {printf "%-22s / %-22s = %.2f  (%+.2f instructions per op above the floor)\n", a, b, r / f, r - f}'
}
ratio find_hit floor_hit
ratio find_miss floor_miss
ratio insert_new floor_insert
ratio fill_distinct floor_fill
ratio fill_insert floor_fill
ratio elastic_find_hit elastic_floor_hit
ratio elastic_find_miss elastic_floor_miss
ratio elastic_insert_new elastic_floor_insert
ratio elastic_fill_distinct elastic_floor_fill
ratio elastic_fill_insert elastic_floor_fill
