// Insertion as a search that may end in a placement.
//
// Both tables offer find_or_insert(probe, hash, make): the location of a
// stored key equal to `probe`, or, when there is none, the location where
// the entry that make() returns now lies (growing first if the table is at
// its limit, in the slot insert() would choose). make() runs only in that
// second case, after the search, so a caller that holds a borrowed key
// takes its own references only for a key it stores, and a key already
// present costs a lookup and nothing more. On AllocError make() has not run
// and the table is unchanged.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <utility>

#include "common/error/try_errors.hpp"

namespace tavoric::common::arena {

template <class Location>
struct FoundOrInserted {
    Location location;
    bool inserted;  // false: an equal key was stored there already
};

// insert(key, value, hash) in terms of find_or_insert: a stored equal key
// keeps its object and gets the value, and the old value comes back; the
// passed key is then left to the caller.
template <class Table, class K, class V>
[[gnu::always_inline]] inline std::expected<std::optional<V>, error::TryReserveError> insert_or_replace(
    Table& table, K&& key, V&& value, std::uint64_t hash) {
    using Entry = typename Table::entry_type;
    auto outcome = table.find_or_insert(key, hash, [&] { return Entry(std::move(key), std::move(value)); });
    if (!outcome) return std::unexpected(outcome.error());
    if (outcome->inserted) return std::optional<V>();
    return std::optional<V>(std::exchange(table.entry_at(outcome->location).value, std::move(value)));
}

}  // namespace tavoric::common::arena
