// The map and set containers over the Funnel table, and their constructors.
//
// Every new container gets a fresh per-table seed and the process fold seed.
// Construction errors come back as TryBuildError; the Python layer shows them
// after "invalid Funnel construction: ".
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>

#include "common/arena/slot_entry.hpp"
#include "funnel/table.hpp"
#include "map/hash_map.hpp"
#include "common/hash/table_hash.hpp"
#include "set/hash_set.hpp"

namespace tavoric::funnel {

template <class K, class V>
using FunnelHashMap = map::HashMap<K, V, FunnelTable<K, V>>;

template <class K>
using FunnelHashSet = set::HashSet<K, FunnelTable<K, common::arena::Unit>>;

inline constexpr std::uint32_t kDefaultReserveExponent = 3;

// A map whose capacity is at least `capacity` (0: the empty table).
template <class K, class V>
std::expected<FunnelHashMap<K, V>, TryBuildError> try_funnel_map(std::size_t capacity,
                                                                  std::uint32_t k = kDefaultReserveExponent,
                                                                  common::hash::HashSeeds seeds = common::hash::HashSeeds::fresh()) {
    auto table = FunnelTable<K, V>::try_with_insert_budget(capacity, k, seeds);
    if (!table) return std::unexpected(table.error());
    return FunnelHashMap<K, V>(std::move(*table));
}

template <class K>
std::expected<FunnelHashSet<K>, TryBuildError> try_funnel_set(std::size_t capacity,
                                                               std::uint32_t k = kDefaultReserveExponent,
                                                               common::hash::HashSeeds seeds = common::hash::HashSeeds::fresh()) {
    auto table = FunnelTable<K, common::arena::Unit>::try_with_insert_budget(capacity, k, seeds);
    if (!table) return std::unexpected(table.error());
    return FunnelHashSet<K>(std::move(*table));
}

}  // namespace tavoric::funnel
