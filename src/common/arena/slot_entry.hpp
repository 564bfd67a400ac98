// One stored key with its value.
//
// Entries live in raw slot storage: a live slot (see control.hpp) holds a
// constructed SlotEntry, any other slot holds nothing. Sets store the empty
// value type Unit, which takes no space: a set entry is exactly its key.
#pragma once

#include <type_traits>
#include <utility>

namespace tavoric::common::arena {

// The value of a set entry.
struct Unit {
    friend constexpr bool operator==(Unit, Unit) noexcept { return true; }
};

template <class K, class V>
struct SlotEntry {
    K key;
    [[no_unique_address]] V value;

    SlotEntry(K&& k, V&& v) noexcept(std::is_nothrow_move_constructible_v<K> && std::is_nothrow_move_constructible_v<V>)
        : key(std::move(k)), value(std::move(v)) {}
    SlotEntry(SlotEntry&&) = default;
    SlotEntry& operator=(SlotEntry&&) = default;
    SlotEntry(const SlotEntry&) = delete;
    SlotEntry& operator=(const SlotEntry&) = delete;
};

}  // namespace tavoric::common::arena
