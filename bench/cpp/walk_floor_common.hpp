// What the floor programs (walk_floor.cpp, walk_floor_elastic.cpp) share:
// the key sets every run builds, the measured-loop wrapper and the exit.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "bench_keys.hpp"

namespace tavoric::bench::walk {

inline constexpr std::size_t kN = 100000, kRoom = 50000;
inline constexpr std::size_t kNone = ~std::size_t{0};

inline volatile std::uint64_t g_sink = 0;

[[noreturn]] inline void die(const char* what, std::size_t i = 0) {
    std::fprintf(stderr, "walk_floor: %s (key %zu)\n", what, i);
    std::exit(1);
}

// n stored keys (in insertion order), the same keys in a fixed shuffled
// lookup order, kRoom fresh keys for insertions and n absent keys from a
// disjoint stretch of the stream.
struct Keys {
    std::vector<std::uint64_t> stored = stream_keys(0, kN);
    std::vector<std::uint64_t> fresh = stream_keys(kN, kRoom);
    std::vector<std::uint64_t> absent = stream_keys(kAbsentStart, kN);
    std::vector<std::uint64_t> lookup;

    Keys() : lookup(stored) {
        std::mt19937_64 rng(0x7A0E1C);
        std::shuffle(lookup.begin(), lookup.end(), rng);
    }
};

// A measured loop: a function of its own per operation, so that the walk
// inlined into it is register-allocated there, not inside main's setup.
template <class Op>
[[gnu::noinline]] std::uint64_t run(std::size_t count, Op op) {
    std::uint64_t acc = 0;
    for (std::size_t i = 0; i < count; ++i) acc += op(i);
    return acc;
}

// Ends the program right after the measured loop. No destructor runs: a
// table's teardown walks its live entries, so after a loop that added
// entries it costs more than after one that added fewer, and that cost
// would be counted as part of the operation.
[[noreturn]] inline void finish(std::uint64_t acc) {
    g_sink = acc;
    std::fflush(stdout);
    std::_Exit(0);
}

}  // namespace tavoric::bench::walk
