// Shared helpers of the Funnel tests: table types, seeds, constructors and
// the invariant audit run after every operation.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>

#include "../common/random_ops.hpp"
#include "common/arena/aligned_block.hpp"
#include "common/arena/control.hpp"
#include "funnel/table.hpp"

namespace tavoric::testing {

using common::arena::AllocationFaults;
using common::arena::Unit;
using common::error::TryBuildError;
using common::error::TryReserveError;
using funnel::FunnelTable;
using CountedFunnel = FunnelTable<CountedKey, CountedValue>;

inline constexpr common::hash::HashSeeds kTestSeeds{0x0123456789ABCDEFULL, 0x9E3779B97F4A7C15ULL};
// With fold seed 1 and table seed 0 the table hash is the cached hash itself,
// so tests can choose table hashes directly.
inline constexpr common::hash::HashSeeds kIdentitySeeds{0, 1};

template <class T>
T make_table(std::size_t budget, std::uint32_t k = 3, common::hash::HashSeeds seeds = kTestSeeds) {
    auto t = T::try_with_insert_budget(budget, k, seeds);
    if (!t) throw std::runtime_error("construction failed");
    return std::move(*t);
}

// Inserts counted key v (cached hash v) with a counted value v.
inline auto put(CountedFunnel& t, Ledger& ledger, std::int64_t v) {
    CountedKey key(ledger, v);
    const std::uint64_t h = t.seeds().hash(key.cached_hash());
    return t.insert(std::move(key), CountedValue(ledger, v), h);
}

template <class T>
std::optional<std::size_t> where(const T& t, std::int64_t v, std::intptr_t hash) {
    return t.find(IntKey(v, hash), t.seeds().hash(hash));
}
template <class T>
std::optional<std::size_t> where(const T& t, std::int64_t v) { return where(t, v, static_cast<std::intptr_t>(v)); }

// What must hold after every operation: len and the tombstone count match the
// control bytes, the padding stays zero, every live slot carries its key's
// fingerprint and filter bits, and (keys distinct) every key is found at its slot.
template <class K, class V>
void expect_invariants(const FunnelTable<K, V>& table, bool keys_distinct = true) {
    const std::size_t n = table.inspect().slot_count();
    auto ctrl = table.inspect().control_bytes();
    std::size_t live = 0, tombs = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (common::arena::is_live(ctrl[i])) ++live;
        if (ctrl[i] == common::arena::kTombstone) ++tombs;
    }
    ASSERT_EQ(live, table.len());
    ASSERT_EQ(tombs, table.inspect().tombstones());
    for (std::size_t i = n; i < ctrl.size(); ++i) ASSERT_EQ(ctrl[i], 0) << "padding byte " << i;
    ASSERT_LE(table.len(), table.capacity());
    auto filter = table.inspect().filter_words();
    for (std::size_t i = 0; i < n; ++i) {
        if (!common::arena::is_live(ctrl[i])) continue;
        const auto& entry = table.entry_at(i);
        const std::uint64_t h = table.seeds().hash(entry.key.cached_hash());
        ASSERT_EQ(ctrl[i], common::arena::fingerprint_of(h)) << "slot " << i;
        auto bits = funnel::FilterBits::of(h, filter.size());
        ASSERT_EQ(filter[bits.word] & bits.mask, bits.mask) << "filter bits of slot " << i;
        if (keys_distinct) {
            auto found = table.find(entry.key, h);
            ASSERT_TRUE(found.has_value()) << "slot " << i << " not findable";
            ASSERT_EQ(*found, i);
        }
    }
}

}  // namespace tavoric::testing
