// Keys and key streams shared by the C++ benchmarks.
//
// BenchKey is a bare 64-bit integer whose cached hash is the integer itself:
// that is what Python hands the containers for an int (hash(i) == i for small
// i), so the tables see exactly what they see in production, and the mixing
// is left to the container's seeded table hash and to the tables' own
// finalizer steps. A pre-mixed cached hash would hide a weakness there. The
// key streams are distinct pseudo-random 64-bit integers (SplitMix64 is a
// bijection, so stream positions never collide), the usual workload of hash
// map benchmarks; unsuccessful lookups use a disjoint stretch of the stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/hash/splitmix.hpp"

namespace tavoric::bench {

struct BenchKey {
    std::uint64_t value = 0;

    std::intptr_t cached_hash() const noexcept { return static_cast<std::intptr_t>(value); }
    bool matches(const BenchKey& stored) const noexcept { return value == stored.value; }
};

// Key number i of the stream.
inline std::uint64_t stream_key(std::uint64_t i) noexcept {
    return common::hash::splitmix64_finalize(i + 0x2545F4914F6CDD1DULL);
}

// Keys first .. first + count - 1 of the stream.
inline std::vector<std::uint64_t> stream_keys(std::uint64_t first, std::size_t count) {
    std::vector<std::uint64_t> keys(count);
    for (std::size_t i = 0; i < count; ++i) keys[i] = stream_key(first + i);
    return keys;
}

// Far enough past every stored stretch the benchmarks use.
inline constexpr std::uint64_t kAbsentStart = std::uint64_t{1} << 40;

}  // namespace tavoric::bench
