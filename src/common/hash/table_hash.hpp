// The 64-bit table hash every table receives.
//
// A key enters with its cached Python hash h (a signed machine word). The
// table hash mixes it with two seeds: the per-table seed S, drawn fresh for
// every new table and kept for its life (so the same key lands differently in
// different tables), and the process fold seed G, drawn once per process. It
// is a folded multiply built from four 32x32->64 products:
//
//   x = zero-extended bit pattern of h, XOR S
//   (ll ^ hh) ^ rotl(lh ^ hl, 32)   with ll = xl*gl, hh = xh*gh, lh = xl*gh, hl = xh*gl
//
// Nothing but h and the two seeds enters, so equal Python hashes give equal
// table hashes within a table, and rebuilds never call back into Python.
//
// Seeds are random unless the environment variable TAVORIC_HASH_SEED holds a
// decimal unsigned 64-bit integer when the process first needs a seed. Then
// the fold seed and every thread's table-seed generator derive from that
// number, so a single-threaded run that makes the same tables in the same
// order gets the same seeds, slots and iteration order every time: for
// instruction-count benchmarks and for replaying a failure. Any other value
// (a sign, spaces, letters, more than 64 bits) counts as unset: the variable
// only ever removes randomness, so a typo costs reproducibility, never the
// protection of random seeds. Fixed seeds make collisions predictable
// (hash flooding), which is why nothing sets the variable by default.
#pragma once

#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <random>
#include <string_view>
#include <thread>

#include "common/hash/splitmix.hpp"

namespace tavoric::common::hash {

constexpr std::uint64_t table_hash(std::intptr_t python_hash, std::uint64_t table_seed, std::uint64_t fold_seed) noexcept {
    // The unsigned machine word's pattern, widened without sign extension.
    std::uint64_t x = static_cast<std::uint64_t>(static_cast<std::uintptr_t>(python_hash)) ^ table_seed;
    std::uint64_t xl = x & 0xffffffffULL;
    std::uint64_t xh = x >> 32;
    std::uint64_t gl = fold_seed & 0xffffffffULL;
    std::uint64_t gh = fold_seed >> 32;
    std::uint64_t ll = xl * gl;
    std::uint64_t hh = xh * gh;
    std::uint64_t lh = xl * gh;
    std::uint64_t hl = xh * gl;
    return (ll ^ hh) ^ std::rotl(lh ^ hl, 32);
}

namespace detail {

// Entropy for seeds: the system's random device, mixed with the clock and
// addresses so that a deterministic device still varies per process.
inline std::uint64_t entropy() {
    std::random_device device;
    std::uint64_t word = (static_cast<std::uint64_t>(device()) << 32) ^ device();
    int local = 0;
    word ^= static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    word ^= std::rotl(static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&local)), 17);
    return common::hash::splitmix64_finalize(word);
}

// Distinct constants keep the values derived from one fixed seed unrelated:
// the fold seed, and the start of each thread's table-seed generator.
constexpr std::uint64_t kFoldSeedSalt = 0x5DEECE66D1F0C3A5ULL;
constexpr std::uint64_t kTableSeedSalt = 0xA0761D6478BD642FULL;
constexpr std::uint64_t kWeylStep = 0x9E3779B97F4A7C15ULL;

// The value of TAVORIC_HASH_SEED: decimal digits only, at most 2^64 - 1.
constexpr std::optional<std::uint64_t> parse_hash_seed(std::string_view text) noexcept {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

// The fixed seed, read from the environment once per process with the same
// three-state flag as the fold seed below, so every thread sees one answer
// even if the environment changes later.
inline std::optional<std::uint64_t> fixed_hash_seed() {
    static std::atomic<std::uint8_t> state{0};
    static std::atomic<std::uint64_t> value{0};
    static std::atomic<bool> present{false};
    if (state.load(std::memory_order_seq_cst) != 2) {
        const char* text = std::getenv("TAVORIC_HASH_SEED");
        std::optional<std::uint64_t> candidate = text ? parse_hash_seed(text) : std::nullopt;
        std::uint8_t expected = 0;
        if (state.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
            value.store(candidate.value_or(0), std::memory_order_relaxed);
            present.store(candidate.has_value(), std::memory_order_relaxed);
            state.store(2, std::memory_order_release);
            return candidate;
        }
        while (state.load(std::memory_order_acquire) != 2) std::this_thread::yield();
    }
    if (!present.load(std::memory_order_relaxed)) return std::nullopt;
    return value.load(std::memory_order_relaxed);
}

// Where a thread's table-seed generator starts. With a fixed seed, threads
// are numbered in the order they first make a table, and each number is
// mixed into its own pseudo-random starting point, so threads do not walk
// the same table seeds.
inline std::uint64_t table_seed_start() {
    static std::atomic<std::uint64_t> threads{0};
    std::optional<std::uint64_t> fixed = fixed_hash_seed();
    if (!fixed) return entropy();
    std::uint64_t ordinal = threads.fetch_add(1, std::memory_order_relaxed);
    return common::hash::splitmix64_finalize(common::hash::splitmix64_finalize(*fixed ^ kTableSeedSalt) +
                                             ordinal * kWeylStep);
}

}  // namespace detail

// The process-wide fold seed. Initialised once with a three-state flag
// (0 not started, 1 in progress, 2 ready): the thread that moves the flag from
// 0 to 1 publishes its candidate; every other thread waits for 2 and uses it.
inline std::uint64_t process_fold_seed() {
    static std::atomic<std::uint8_t> state{0};
    static std::atomic<std::uint64_t> value{0};
    // A sequentially consistent read of the state acts as the full fence.
    if (state.load(std::memory_order_seq_cst) == 2) return value.load(std::memory_order_relaxed);
    std::optional<std::uint64_t> fixed = detail::fixed_hash_seed();
    std::uint64_t candidate =
        fixed ? common::hash::splitmix64_finalize(*fixed ^ detail::kFoldSeedSalt) : detail::entropy();
    std::uint8_t expected = 0;
    if (state.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
        value.store(candidate, std::memory_order_relaxed);
        state.store(2, std::memory_order_release);
        return candidate;
    }
    while (state.load(std::memory_order_acquire) != 2) std::this_thread::yield();
    return value.load(std::memory_order_relaxed);
}

// A fresh per-table seed from per-thread generator state (no lock).
inline std::uint64_t fresh_table_seed() {
    thread_local std::uint64_t state = detail::table_seed_start();
    state += detail::kWeylStep;
    return common::hash::splitmix64_finalize(state);
}

// The two seeds a table hashes with. Tables keep both, so a rebuild recomputes
// every hash itself; tests choose them freely.
struct HashSeeds {
    std::uint64_t table = 0;
    std::uint64_t fold = 0;

    // A new table's seeds: the process fold seed and a fresh table seed.
    static HashSeeds fresh() { return HashSeeds{fresh_table_seed(), process_fold_seed()}; }

    constexpr std::uint64_t hash(std::intptr_t python_hash) const noexcept { return table_hash(python_hash, table, fold); }

    friend constexpr bool operator==(HashSeeds, HashSeeds) noexcept = default;
};

}  // namespace tavoric::common::hash
