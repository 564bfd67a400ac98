// HashSet<K, T>: a HashMap<K, Unit, T>; every set operation is the map
// operation with the empty value, which takes no storage.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <utility>

#include "common/arena/slot_entry.hpp"
#include "map/hash_map.hpp"
#include "common/iter/walk_range.hpp"

namespace tavoric::set {

using common::arena::Unit;
using map::TryReserveError;

// A read-only walk yielding keys in table order.
template <map::TableBackend T>
class Iter {
public:
    using key_type = typename T::key_type;

    explicit Iter(const T& table) noexcept : inner_(table) {}

    const key_type* next() {
        const auto* entry = inner_.next();
        return entry ? &entry->key : nullptr;
    }
    std::size_t remaining() const noexcept { return inner_.remaining(); }

    common::iter::WalkPosition<Iter> begin() { return common::iter::WalkPosition<Iter>(*this); }
    common::iter::WalkEnd end() const noexcept { return {}; }

private:
    map::Iter<T> inner_;
};

// Adapts a key predicate to the map's (key, value) form.
template <class K, class F>
struct KeyPredicate {
    F predicate;
    bool operator()(const K& key, Unit&) { return predicate(key); }
};

// A draining walk yielding the keys the predicate pred(const K&) accepts.
template <class K, map::TableBackend T, class F>
class ExtractIf {
public:
    ExtractIf(T& table, F predicate) : inner_(table, KeyPredicate<K, F>{std::move(predicate)}) {}

    std::optional<K> next() {
        auto entry = inner_.next();
        if (!entry) return std::nullopt;
        return std::optional<K>(std::move(entry->key));
    }

    // Ends a walk left early (see map::ExtractIf::finish).
    void finish() { inner_.finish(); }

private:
    map::ExtractIf<K, Unit, T, KeyPredicate<K, F>> inner_;
};

template <class K, map::TableBackend T>
class HashSet {
public:
    using key_type = K;
    using table_type = T;
    using map_type = map::HashMap<K, Unit, T>;

    explicit HashSet(T table) noexcept(std::is_nothrow_move_constructible_v<T>) : map_(std::move(table)) {}

    // true when the key was added, false when an equal key was already
    // stored (the stored key stays, the passed one is left to the caller).
    std::expected<bool, TryReserveError> insert(K&& key) {
        auto previous = map_.insert(std::move(key), Unit{});
        if (!previous) return std::unexpected(previous.error());
        return !previous->has_value();
    }

    // Adds the key make() returns unless a stored key equals `probe`: true
    // when added. make() runs only then (see HashMap::find_or_insert).
    template <class Q, class Make>
    std::expected<bool, TryReserveError> add(const Q& probe, Make&& make) {
        auto outcome = map_.find_or_insert(probe, [&] { return typename map_type::entry_type(make(), Unit{}); });
        if (!outcome) return std::unexpected(outcome.error());
        return outcome->inserted;
    }

    // Adds a key the caller knows to be absent, without comparing keys (see
    // HashMap::insert_distinct).
    std::expected<void, TryReserveError> insert_distinct(K key) { return map_.insert_distinct(std::move(key), Unit{}); }

    template <class Q = K>
    const K* get(const Q& probe) const {
        const auto* entry = map_.get(probe);
        return entry ? &entry->key : nullptr;
    }

    template <class Q = K>
    bool contains(const Q& probe) const {
        return map_.contains(probe);
    }

    // See HashMap::may_hold.
    bool may_hold(std::uint64_t hash) const noexcept
        requires requires(const map_type& map) { map.may_hold(hash); }
    {
        return map_.may_hold(hash);
    }
    template <class Q = K>
    bool contains_past_filter(const Q& probe, std::uint64_t hash) const {
        return map_.contains_past_filter(probe, hash);
    }

    // Removes an equal key and hands it to the caller; nothing when there
    // is none.
    template <class Q = K>
    std::optional<K> remove(const Q& probe) {
        auto entry = map_.remove_entry(probe);
        if (!entry) return std::nullopt;
        return std::optional<K>(std::move(entry->key));
    }

    std::expected<void, TryReserveError> reserve(std::size_t additional) { return map_.reserve(additional); }
    void clear() noexcept { map_.clear(); }
    std::size_t len() const noexcept { return map_.len(); }
    bool empty() const noexcept { return map_.empty(); }
    std::size_t capacity() const noexcept { return map_.capacity(); }

    Iter<T> iter() const noexcept { return Iter<T>(map_.table()); }

    template <class F>
    ExtractIf<K, T, F> extract_if(F predicate) {
        return ExtractIf<K, T, F>(map_.table(), std::move(predicate));
    }

    // Keeps the keys for which keep(const K&) holds.
    template <class F>
    void retain(F&& keep) {
        map_.retain([&keep](const K& key, Unit&) { return static_cast<bool>(keep(key)); });
    }

    // Equal when the lengths agree and every key of this set is found in the
    // other (looked up with the other's seeds).
    friend bool operator==(const HashSet& a, const HashSet& b) {
        if (a.len() != b.len()) return false;
        auto walk = a.iter();
        while (const K* key = walk.next()) {
            if (!b.contains(*key)) return false;
        }
        return true;
    }

    template <class Q>
    std::uint64_t hash_of(const Q& key) const noexcept {
        return map_.hash_of(key);
    }

    T& table() noexcept { return map_.table(); }
    const T& table() const noexcept { return map_.table(); }

private:
    map_type map_;
};

}  // namespace tavoric::set
