// The contract every table design implements for the generic containers.
//
// A table owns its entries, length, capacity, seeds and storage; the
// containers add no state. Tables are plugged in statically (no virtual
// dispatch): HashMap<K, V, T> is instantiated for one table type T.
//
//   find_or_insert(probe, hash, make)
//                              location of an equal stored key, or of the
//                              entry make() returns, stored where insert()
//                              would store it; make() runs only then
//                              (common/arena/find_or_insert.hpp); AllocError
//                              leaves the table unchanged and make() unrun
//   insert(key, value, hash)   stores the pair, or replaces the value of an
//                              equal stored key (keeping the stored key; the
//                              passed one may be left to the caller, who
//                              releases it) and returns the old value;
//                              AllocError leaves the table unchanged
//   insert_distinct(key, value, hash)
//                              stores a pair whose key the caller knows to be
//                              absent, in the slot insert() would choose,
//                              without comparing keys; the same growth and
//                              AllocError rules
//   find(probe, hash)          location of an equal key (probe on the left
//                              of matches()), any probe type Q
//   may_hold(hash), find_past_filter(probe, hash)
//                              optional: find() in two steps, for a table
//                              whose membership filter turns most absent
//                              keys away before its walk (false: absent;
//                              true: the walk decides)
//   entry_at(location)         the entry there
//   remove(location)           moves the entry out; may rebuild afterwards
//   remove_deferred(location)  the same without the rebuild check, for walks
//   finish_deferred_removals() the rebuild check that ends such a walk (may
//                              throw an invariant failure, so it is never
//                              called from a destructor on a normal exit)
//   reserve(additional)        room for len + additional without growth
//   clear()                    releases every entry, keeps the seeds
//   scan_next(cursor)          next live entry in table order, or nullptr
//   cursor_location(cursor)    location of the entry scan_next gave last
//   len(), capacity(), seeds(), reserve_exponent(), heap_bytes()
//
// Nothing else of a table is public but inspect(): a read-only view of its
// inside for tests and benchmarks, which no container uses.
//
// Keys K provide `std::intptr_t cached_hash() const noexcept` and
// `bool matches(const K& stored) const`; values V are movable. matches() may
// throw to abandon an operation (a Python key's __eq__ raised): every table
// compares keys only while searching, before it changes anything, and never
// while rebuilding, so the exception leaves the table as it was.
// Destroying a key or value releases whatever it owns.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <utility>

#include "common/arena/slot_entry.hpp"
#include "common/error/try_errors.hpp"
#include "common/iter/cursor.hpp"
#include "common/hash/table_hash.hpp"

namespace tavoric::map {

using common::error::TryReserveError;

template <class K>
concept TableKey = std::move_constructible<K> && requires(const K& a, const K& b) {
    { a.cached_hash() } noexcept -> std::same_as<std::intptr_t>;
    { a.matches(b) } -> std::same_as<bool>;
};

template <class T>
concept TableBackend = requires(T& t, const T& ct, typename T::key_type key, typename T::value_type value,
                                std::uint64_t hash, typename T::location_type loc, std::size_t n,
                                typename T::cursor_type& cursor) {
    requires TableKey<typename T::key_type>;
    requires std::same_as<typename T::entry_type,
                          common::arena::SlotEntry<typename T::key_type, typename T::value_type>>;
    requires std::same_as<typename T::cursor_type, common::iter::Cursor<typename T::entry_type>>;
    { t.insert(std::move(key), std::move(value), hash) }
        -> std::same_as<std::expected<std::optional<typename T::value_type>, TryReserveError>>;
    { t.insert_distinct(std::move(key), std::move(value), hash) } -> std::same_as<std::expected<void, TryReserveError>>;
    { ct.find(std::as_const(key), hash) } -> std::same_as<std::optional<typename T::location_type>>;
    { t.entry_at(loc) } -> std::same_as<typename T::entry_type&>;
    { ct.entry_at(loc) } -> std::same_as<const typename T::entry_type&>;
    { t.remove(loc) } -> std::same_as<typename T::entry_type>;
    { t.remove_deferred(loc) } -> std::same_as<typename T::entry_type>;
    { t.finish_deferred_removals() };
    { t.reserve(n) } -> std::same_as<std::expected<void, TryReserveError>>;
    { t.clear() } noexcept;
    { ct.len() } noexcept -> std::same_as<std::size_t>;
    { ct.capacity() } noexcept -> std::same_as<std::size_t>;
    { ct.seeds() } noexcept -> std::same_as<common::hash::HashSeeds>;
    { ct.reserve_exponent() } noexcept -> std::same_as<std::uint32_t>;
    { ct.heap_bytes() } noexcept -> std::same_as<std::size_t>;
    { ct.scan_next(cursor) } -> std::same_as<typename T::entry_type*>;
    { ct.cursor_location(std::as_const(cursor)) } noexcept -> std::same_as<typename T::location_type>;
};

}  // namespace tavoric::map
