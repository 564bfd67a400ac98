// HashMap<K, V, T>: the map container over one table T.
//
// The container computes each key's table hash from its cached hash and the
// table's seeds (table_hash.hpp) and forwards to the table; it holds no state
// of its own. Iteration visits entries in table order. ExtractIf and retain
// remove entries in deferred mode (tombstones only, no rebuild) so the
// cursor's storage stays valid during the walk, and end with exactly one
// finish_deferred_removals() call, also when left early or by an exception.
//
// That call may fail (an invariant check of the rebuild throws), and a
// failure must reach the caller. So it is made from ordinary code: at the end
// of the walk, or by finish() for a walk left early. Only a walk abandoned by
// an exception already on its way out finishes from its destructor, where a
// second failure is dropped: the first exception is the one to report, and
// the table is correct without the rebuild (its tombstones simply stay).
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <type_traits>
#include <utility>

#include "common/arena/find_or_insert.hpp"
#include "map/table_backend.hpp"
#include "common/iter/walk_range.hpp"

namespace tavoric::map {

// A read-only walk over a table's live entries.
template <TableBackend T>
class Iter {
public:
    using entry_type = typename T::entry_type;

    explicit Iter(const T& table) noexcept : table_(&table), cursor_(table.len()) {}

    // The next entry, or nullptr at the end.
    const entry_type* next() { return table_->scan_next(cursor_); }
    // Entries not yet yielded.
    std::size_t remaining() const noexcept { return cursor_.remaining(); }

    // Range-for support: `for (const auto& entry : map.iter())`.
    common::iter::WalkPosition<Iter> begin() { return common::iter::WalkPosition<Iter>(*this); }
    common::iter::WalkEnd end() const noexcept { return {}; }

private:
    const T* table_;
    typename T::cursor_type cursor_;
};

// A draining walk: yields (and removes) the entries the predicate accepts.
// The predicate is called as pred(const K&, V&) -> bool.
template <class K, class V, TableBackend T, class F>
class ExtractIf {
public:
    using entry_type = typename T::entry_type;

    ExtractIf(T& table, F predicate) : table_(&table), cursor_(table.len()), predicate_(std::move(predicate)) {}
    ExtractIf(const ExtractIf&) = delete;
    ExtractIf& operator=(const ExtractIf&) = delete;

    ~ExtractIf() {
        if (finished_) return;
        try {
            table_->finish_deferred_removals();
        } catch (...) {
            // Unwinding already (see the top of this file).
        }
    }

    // Ends a walk left early: runs the rebuild check now, where a failure
    // can be reported. Idempotent.
    void finish() {
        if (finished_) return;
        finished_ = true;
        table_->finish_deferred_removals();
    }

    // The next accepted entry, now owned by the caller; nullopt at the end.
    std::optional<entry_type> next() {
        if (finished_) return std::nullopt;
        while (entry_type* entry = table_->scan_next(cursor_)) {
            if (predicate_(std::as_const(entry->key), entry->value)) {
                return table_->remove_deferred(table_->cursor_location(cursor_));
            }
        }
        finish();
        return std::nullopt;
    }

private:
    T* table_;
    typename T::cursor_type cursor_;
    F predicate_;
    bool finished_ = false;
};

template <class K, class V, TableBackend T>
    requires std::same_as<K, typename T::key_type> && std::same_as<V, typename T::value_type>
class HashMap {
public:
    using key_type = K;
    using value_type = V;
    using table_type = T;
    using entry_type = typename T::entry_type;
    using location_type = typename T::location_type;

    explicit HashMap(T table) noexcept(std::is_nothrow_move_constructible_v<T>) : table_(std::move(table)) {}

    // Stores the pair; an equal stored key keeps its object and gets the new
    // value, the old value is returned and the passed key is left to the
    // caller (who knows how to release it cheaply). On AllocError the map is
    // unchanged and the value is released.
    std::expected<std::optional<V>, TryReserveError> insert(K&& key, V value) {
        std::uint64_t hash = hash_of(key);
        return table_.insert(std::move(key), std::move(value), hash);
    }

    // Stores a pair whose key the caller knows to be absent (it comes from a
    // table of distinct keys into one that holds none of them): the same slot
    // insert() would choose, found without comparing keys, so no user
    // equality runs. On AllocError the map is unchanged and key and value
    // are released.
    std::expected<void, TryReserveError> insert_distinct(K key, V value) {
        std::uint64_t hash = hash_of(key);
        return table_.insert_distinct(std::move(key), std::move(value), hash);
    }

    // The entry of a stored key equal to `probe`, or, when there is none,
    // the new entry make() returns, stored where insert() would store it;
    // `inserted` tells which. make() runs only in the second case, so a
    // borrowed probe costs a present key no references.
    template <class Q, class Make>
    std::expected<common::arena::FoundOrInserted<entry_type*>, TryReserveError> find_or_insert(const Q& probe,
                                                                                              Make&& make) {
        auto outcome = table_.find_or_insert(probe, hash_of(probe), std::forward<Make>(make));
        if (!outcome) return std::unexpected(outcome.error());
        return common::arena::FoundOrInserted<entry_type*>{&table_.entry_at(outcome->location), outcome->inserted};
    }

    template <class Q = K>
    const entry_type* get(const Q& probe) const {
        auto location = table_.find(probe, hash_of(probe));
        return location ? &table_.entry_at(*location) : nullptr;
    }

    // The stored value of an equal key, to be replaced in place; nullptr
    // when no stored key equals the probe.
    template <class Q = K>
    V* find_value(const Q& probe) {
        auto location = table_.find(probe, hash_of(probe));
        return location ? &table_.entry_at(*location).value : nullptr;
    }

    template <class Q = K>
    bool contains(const Q& probe) const {
        return table_.find(probe, hash_of(probe)).has_value();
    }

    // contains() in two steps, for tables whose filter turns most absent
    // keys away before their walk: the filter test of a key's table hash
    // (hash_of), then the lookup of a key the filter admitted.
    bool may_hold(std::uint64_t hash) const noexcept
        requires requires(const T& table) { table.may_hold(hash); }
    {
        return table_.may_hold(hash);
    }
    template <class Q = K>
    bool contains_past_filter(const Q& probe, std::uint64_t hash) const {
        return table_.find_past_filter(probe, hash).has_value();
    }

    // Removes an equal key; its stored key is released here, after any
    // rebuild the removal caused, and the value handed to the caller.
    template <class Q = K>
    std::optional<V> remove(const Q& probe) {
        auto entry = remove_entry(probe);
        if (!entry) return std::nullopt;
        return std::optional<V>(std::move(entry->value));
    }

    // Removes an equal key and hands key and value to the caller. In line:
    // `del m[k]`, `pop` and `discard` are this call and little else.
    template <class Q = K>
    [[gnu::always_inline]] std::optional<entry_type> remove_entry(const Q& probe) {
        auto location = table_.find(probe, hash_of(probe));
        if (!location) return std::nullopt;
        return table_.remove(*location);
    }

    std::expected<void, TryReserveError> reserve(std::size_t additional) { return table_.reserve(additional); }
    void clear() noexcept { table_.clear(); }
    std::size_t len() const noexcept { return table_.len(); }
    bool empty() const noexcept { return table_.len() == 0; }
    std::size_t capacity() const noexcept { return table_.capacity(); }

    Iter<T> iter() const noexcept { return Iter<T>(table_); }

    template <class F>
    ExtractIf<K, V, T, F> extract_if(F predicate) {
        return ExtractIf<K, V, T, F>(table_, std::move(predicate));
    }

    // Keeps the entries for which keep(const K&, V&) holds; the others are
    // released during the walk. One rebuild check runs at the end, also when
    // the predicate throws.
    template <class F>
    void retain(F&& keep) {
        auto walk = extract_if([&keep](const K& key, V& value) { return !keep(key, value); });
        while (auto removed = walk.next()) {
            // released here, before the walk goes on
        }
    }

    template <class Q>
    std::uint64_t hash_of(const Q& key) const noexcept {
        return table_.seeds().hash(key.cached_hash());
    }

    T& table() noexcept { return table_; }
    const T& table() const noexcept { return table_; }

private:
    T table_;
};

}  // namespace tavoric::map
