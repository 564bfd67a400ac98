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
    for (std::size_t l = 0; l < table.inspect().level_count(); ++l)
        for (std::uint64_t j = 1; j <= probe::kMaxProbesPerLevel; ++j) {
            auto code = probe::elastic_phi(l + 1, j);
            if (!code || *code > bound) break;
            count += l != 0 || j != 1;
        }
    return count;
}

#define TAVORIC_REQUIRE(cond, message) \
    if (!(cond)) return ::testing::AssertionFailure() << message

// Everything that must hold between operations: per-level counts agree with
// the control bytes, the length with the live slots, every stored key is
// found at its own slot, its membership bits are recorded, the schedule is
// sorted by phi and covers exactly its bound, every key outside an
// exceptional table sits on its primary slot or a scheduled route, and
// iteration visits every entry once in (level, slot) order.
template <class T>
::testing::AssertionResult invariants(const T& table) {
    const auto& in = table.inspect();
    const std::size_t levels = in.level_count();
    const auto& schedule = in.schedule();
    std::uint64_t previous_phi = 0;
    for (const auto& route : schedule) {
        const std::uint32_t level = probe::elastic_selector_level(route.selector);
        TAVORIC_REQUIRE(level < levels, "route level " << level << " out of range");
        const auto code = static_cast<std::uint64_t>(*probe::elastic_phi(level + 1, (route.selector & 0xFFFF) / 8 + 1));
        TAVORIC_REQUIRE(code > previous_phi, "schedule not sorted at phi " << code);
        TAVORIC_REQUIRE(code <= schedule.bound(), "route beyond bound");
        TAVORIC_REQUIRE(route.key == in.level(level).len, "route key is not the level length");
        previous_phi = code;
    }
    TAVORIC_REQUIRE(schedule.size() == routes_for_bound(table, schedule.bound()),
                    "schedule has " << schedule.size() << " routes, bound " << schedule.bound() << " needs "
                                    << routes_for_bound(table, schedule.bound()));
    TAVORIC_REQUIRE(schedule.size() <= schedule.capacity(), "schedule over capacity");
    std::size_t live_total = 0, slot_total = 0;
    for (std::size_t i = 0; i < levels; ++i) {
        const auto& level = in.level(i);
        slot_total += level.len;
        std::size_t live = 0, tomb = 0;
        for (std::size_t s = 0; s < level.len; ++s) {
            tomb += level.ctrl[s] == common::arena::kTombstone;
            if (!common::arena::is_live(level.ctrl[s])) continue;
            ++live;
            const auto& key = level.entries[s].key;
            const std::uint64_t h = table.seeds().hash(key.cached_hash());
            const auto p = probe::elastic_prepare(h);
            TAVORIC_REQUIRE(level.ctrl[s] == p.fingerprint, "fingerprint mismatch at " << i << "/" << s);
            TAVORIC_REQUIRE(table.find(key, h) == (ElasticLocation{i, s}), "key at " << i << "/" << s << " not found at its slot");
            TAVORIC_REQUIRE(in.membership() != nullptr, "live key without membership groups");
            const auto& group = in.membership()[common::hash::multiply_high(p.prepared, in.membership_groups())];
            TAVORIC_REQUIRE((group.bloom & p.membership) == p.membership, "bloom bits missing");
            TAVORIC_REQUIRE(levels > 16 || ((group.lanes[p.prepared & 3] >> i) & 1u), "lane bit missing for level " << i);
            bool on_route = schedule.exceptional() || (i == 0 && probe::elastic_probe_slot(p.prepared, 0, in.level(0).len) == s);
            for (auto r = schedule.begin(); r != schedule.end() && !on_route; ++r)
                on_route = probe::elastic_selector_level(r->selector) == i && probe::elastic_probe_slot(p.prepared, r->selector, r->key) == s;
            TAVORIC_REQUIRE(on_route, "key at " << i << "/" << s << " is on no route");
        }
        TAVORIC_REQUIRE(live == level.occupied, "level " << i << " occupied " << level.occupied << " live " << live);
        TAVORIC_REQUIRE(tomb == level.tombstones, "level " << i << " tombstones " << level.tombstones << " counted " << tomb);
        live_total += live;
    }
    for (std::size_t g = 0; levels > 16 && in.membership() != nullptr && g < in.membership_groups(); ++g)
        for (auto lane : in.membership()[g].lanes) TAVORIC_REQUIRE(lane == 0, "lanes used above 16 levels");
    TAVORIC_REQUIRE(slot_total == in.slots(), "levels do not add up to the slot count");
    TAVORIC_REQUIRE(live_total == table.len(), "len " << table.len() << " but " << live_total << " live");
    TAVORIC_REQUIRE(table.len() <= table.capacity(), "len above the insert limit");
    const auto& quotas = in.batch_quotas();
    TAVORIC_REQUIRE(quotas.empty() ? in.batch_remaining() == 0 : in.batch_index() < quotas.size() && in.batch_remaining() <= quotas[in.batch_index()],
                    "batch state outside the quotas");
    const auto order = table_order(table);
    TAVORIC_REQUIRE(order.size() == table.len(), "iteration visited " << order.size());
    for (std::size_t n = 1; n < order.size(); ++n)
        TAVORIC_REQUIRE(order[n - 1].level < order[n].level || (order[n - 1].level == order[n].level && order[n - 1].slot < order[n].slot),
                        "iteration out of order");
    return ::testing::AssertionSuccess();
}

#undef TAVORIC_REQUIRE

}  // namespace tavoric::testing::elastic_support
