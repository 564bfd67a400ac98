// Shared helpers of the Elastic table tests: seeds, table aliases and the
// full invariant check run after every operation.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <sstream>
#include <vector>

#include "../common/random_ops.hpp"
#include "common/arena/aligned_block.hpp"
#include "common/arena/control.hpp"
#include "common/error/panic.hpp"
#include "common/hash/bounded_reduction.hpp"
#include "common/hash/table_hash.hpp"
#include "elastic/phi.hpp"
#include "elastic/probe.hpp"
#include "elastic/table.hpp"

namespace tavoric::testing::elastic_support {

using tavoric::common::arena::AllocationFaults;
using tavoric::common::error::Panic;
using tavoric::elastic::ElasticLocation;
using tavoric::elastic::ElasticTable;
namespace probe = tavoric::elastic;
using MapTable = ElasticTable<IntKey, std::uintptr_t>;
using CountedTable = ElasticTable<CountedKey, CountedValue>;

// With table seed 0 and fold seed 1 the table hash is the cached hash itself,
// so tests choose table hashes directly.
inline constexpr common::hash::HashSeeds kIdentitySeeds{0, 1};
// Both seeds 0: every key's table hash is 0 (one shared probe sequence).
inline constexpr common::hash::HashSeeds kConstantSeeds{0, 0};

// A table the test expects to exist: a construction error stops the test
// with its text.
template <class Table>
Table make_table(std::size_t capacity, std::uint32_t k, common::hash::HashSeeds seeds) {
    auto table = Table::try_with_capacity_and_reserve_and_hasher_in(capacity, k, seeds);
    if (!table) throw Panic(table.error().message());
    return std::move(*table);
}

inline MapTable map_table(std::size_t capacity, std::uint32_t k = 3, common::hash::HashSeeds seeds = kIdentitySeeds) {
    return make_table<MapTable>(capacity, k, seeds);
}

// A well-spread cached hash for key number i.
inline std::intptr_t spread_hash(std::int64_t i) {
    return static_cast<std::intptr_t>(tavoric::common::hash::splitmix64_finalize(static_cast<std::uint64_t>(i) + 0x51));
}

template <class T>
std::uint64_t hash_in(const T& table, const auto& key) {
    return table.seeds().hash(key.cached_hash());
}

// Inserts key i (spread hash) with the given value.
template <class T>
auto put(T& table, std::int64_t i, std::uintptr_t value = 0) {
    IntKey key(i, spread_hash(i));
    return table.insert(key, value, hash_in(table, key));
}

template <class T>
std::optional<ElasticLocation> where(const T& table, std::int64_t i) {
    IntKey key(i, spread_hash(i));
    return table.find(key, hash_in(table, key));
}

template <class T>
std::size_t total_tombstones(const T& t) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < t.inspect().level_count(); ++i) n += t.inspect().level(i).tombstones;
    return n;
}

// Every live entry in table order, with its location.
template <class T>
std::vector<ElasticLocation> table_order(const T& table) {
    std::vector<ElasticLocation> out;
    typename T::cursor_type cursor(table.len());
    while (table.scan_next(cursor) != nullptr) out.push_back(table.cursor_location(cursor));
    return out;
}

// Number of schedule routes a bound admits over these levels.
template <class T>
std::size_t routes_for_bound(const T& table, std::uint64_t bound) {
    std::size_t count = 0;
    for (std::size_t l = 0; l < table.inspect().level_count(); ++l) {
        for (std::uint64_t j = 1; j <= probe::kMaxProbesPerLevel; ++j) {
            auto code = probe::elastic_phi(l + 1, j);
            if (!code || *code > bound) break;
            if (l == 0 && j == 1) continue;
            ++count;
        }
    }
    return count;
}

// Everything that must hold between operations: per-level counts agree with
// the control bytes, the length with the live slots, every stored key is
// found at its own slot, its membership bits are recorded, the schedule is
// sorted by phi and covers exactly its bound, every key outside an
// exceptional table sits on its primary slot or a scheduled route, and
// iteration visits every entry once in (level, slot) order.
template <class T>
::testing::AssertionResult invariants(const T& table) {
    std::ostringstream err;
    auto fail = [&]() { return ::testing::AssertionFailure() << err.str(); };
    const std::size_t levels = table.inspect().level_count();
    const auto& schedule = table.inspect().schedule();
    std::size_t live_total = 0;
    std::size_t slot_total = 0;

    // Schedule order and coverage.
    std::uint64_t previous_phi = 0;
    for (const auto& route : schedule) {
        const std::uint32_t level = probe::elastic_selector_level(route.selector);
        const std::uint32_t t = (route.selector & 0xFFFF) / 8;
        if (level >= levels) return err << "route level " << level << " out of range", fail();
        const auto code = static_cast<std::uint64_t>(*probe::elastic_phi(level + 1, t + 1));
        if (code <= previous_phi) return err << "schedule not sorted at phi " << code, fail();
        if (code > schedule.bound()) return err << "route beyond bound", fail();
        if (route.key != table.inspect().level(level).len) return err << "route key is not the level length", fail();
        previous_phi = code;
    }
    if (schedule.size() != routes_for_bound(table, schedule.bound()))
        return err << "schedule has " << schedule.size() << " routes, bound " << schedule.bound() << " needs "
                   << routes_for_bound(table, schedule.bound()),
               fail();
    if (schedule.size() > schedule.capacity()) return err << "schedule over capacity", fail();

    for (std::size_t i = 0; i < levels; ++i) {
        const auto& level = table.inspect().level(i);
        slot_total += level.len;
        std::size_t live = 0, tomb = 0;
        for (std::size_t s = 0; s < level.len; ++s) {
            const std::uint8_t c = level.ctrl[s];
            if (c == common::arena::kTombstone) ++tomb;
            if (!common::arena::is_live(c)) continue;
            ++live;
            const auto& key = level.entries[s].key;
            const std::uint64_t h = table.seeds().hash(key.cached_hash());
            const auto p = probe::elastic_prepare(h);
            if (c != p.fingerprint) return err << "fingerprint mismatch at " << i << "/" << s, fail();
            auto found = table.find(key, h);
            if (!found || *found != ElasticLocation{i, s})
                return err << "key at " << i << "/" << s << " not found at its slot", fail();
            const auto* groups = table.inspect().membership();
            if (groups == nullptr) return err << "live key without membership groups", fail();
            const auto& group = groups[tavoric::common::hash::multiply_high(p.prepared, table.inspect().membership_groups())];
            if ((group.bloom & p.membership) != p.membership) return err << "bloom bits missing", fail();
            if (levels <= 16 && ((group.lanes[p.prepared & 3] >> i) & 1u) == 0)
                return err << "lane bit missing for level " << i, fail();
            if (!schedule.exceptional()) {
                bool on_route = i == 0 && probe::elastic_probe_slot(p.prepared, 0, table.inspect().level(0).len) == s;
                for (const auto& route : schedule) {
                    if (on_route) break;
                    on_route = probe::elastic_selector_level(route.selector) == i &&
                               probe::elastic_probe_slot(p.prepared, route.selector, route.key) == s;
                }
                if (!on_route) return err << "key at " << i << "/" << s << " is on no route", fail();
            }
        }
        if (live != level.occupied) return err << "level " << i << " occupied " << level.occupied << " live " << live, fail();
        if (tomb != level.tombstones)
            return err << "level " << i << " tombstones " << level.tombstones << " counted " << tomb, fail();
        live_total += live;
    }
    if (levels > 16 && table.inspect().membership() != nullptr) {
        for (std::size_t g = 0; g < table.inspect().membership_groups(); ++g)
            for (auto lane : table.inspect().membership()[g].lanes)
                if (lane != 0) return err << "lanes used above 16 levels", fail();
    }
    if (slot_total != table.inspect().slots()) return err << "levels do not add up to the slot count", fail();
    if (live_total != table.len()) return err << "len " << table.len() << " but " << live_total << " live", fail();
    if (table.len() > table.capacity()) return err << "len above the insert limit", fail();
    const auto& quotas = table.inspect().batch_quotas();
    if (!quotas.empty()) {
        if (table.inspect().batch_index() >= quotas.size()) return err << "batch index out of range", fail();
        if (table.inspect().batch_remaining() > quotas[table.inspect().batch_index()]) return err << "batch remaining above quota", fail();
    } else if (table.inspect().batch_remaining() != 0) {
        return err << "batch remaining without batches", fail();
    }
    const auto order = table_order(table);
    if (order.size() != table.len()) return err << "iteration visited " << order.size(), fail();
    for (std::size_t n = 1; n < order.size(); ++n) {
        const auto a = order[n - 1], b = order[n];
        if (a.level > b.level || (a.level == b.level && a.slot >= b.slot)) return err << "iteration out of order", fail();
    }
    return ::testing::AssertionSuccess();
}

}  // namespace tavoric::testing::elastic_support
