// A deliberately simple table that satisfies TableBackend, so the containers
// are tested apart from either real table design: 24 slots of linear probing
// split into two regions of 13 and 11 slots (neither a multiple of 8), at
// most 20 entries, no growth. It counts finish_deferred_removals calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <memory>
#include <optional>

#include "common/arena/arena_slots.hpp"
#include "common/arena/control.hpp"
#include "common/arena/slot_entry.hpp"
#include "common/iter/cursor.hpp"
#include "map/table_backend.hpp"

namespace tavoric::testing {

template <class K, class V>
class ToyTable {
public:
    using key_type = K;
    using value_type = V;
    using entry_type = common::arena::SlotEntry<K, V>;
    using location_type = std::size_t;
    using cursor_type = common::iter::Cursor<entry_type>;

    static constexpr std::size_t kSlots = 24;
    static constexpr std::size_t kFirstRegion = 13;
    static constexpr std::size_t kCapacity = 20;

    explicit ToyTable(common::hash::HashSeeds seeds)
        : seeds_(seeds), ctrl_(new std::uint8_t[kSlots]()), raw_(new Raw[kSlots]) {}
    ToyTable(ToyTable&&) noexcept = default;
    ~ToyTable() {
        if (ctrl_) common::arena::FlatStorage<entry_type>{ctrl_.get(), slots(), kSlots}.drop_all_values();
    }

    std::expected<std::optional<V>, map::TryReserveError> insert(K key, V value, std::uint64_t hash) {
        std::uint8_t fp = common::arena::fingerprint_of(hash);
        std::optional<std::size_t> free;
        for (std::size_t step = 0; step < kSlots; ++step) {
            std::size_t i = (hash + step) % kSlots;
            std::uint8_t c = ctrl_[i];
            if (c == fp && key.matches(slots()[i].key)) {
                V old = std::move(slots()[i].value);
                slots()[i].value = std::move(value);
                return std::optional<V>(std::move(old));
            }
            if (!common::arena::is_live(c) && !free) free = i;
            if (c == common::arena::kEmpty) break;
        }
        if (len_ == kCapacity || !free) return std::unexpected(map::TryReserveError::alloc_error());
        std::construct_at(&slots()[*free], std::move(key), std::move(value));
        if (ctrl_[*free] == common::arena::kTombstone) --tombstones_;
        ctrl_[*free] = fp;
        ++len_;
        return std::optional<V>();
    }

    template <class Q>
    std::optional<std::size_t> find(const Q& probe, std::uint64_t hash) const {
        std::uint8_t fp = common::arena::fingerprint_of(hash);
        for (std::size_t step = 0; step < kSlots; ++step) {
            std::size_t i = (hash + step) % kSlots;
            if (ctrl_[i] == common::arena::kEmpty) return std::nullopt;
            if (ctrl_[i] == fp && probe.matches(slots()[i].key)) return i;
        }
        return std::nullopt;
    }

    entry_type& entry_at(std::size_t i) noexcept { return slots()[i]; }
    const entry_type& entry_at(std::size_t i) const noexcept { return slots()[i]; }

    entry_type remove(std::size_t i) {
        ++removals_;
        return remove_deferred(i);
    }
    entry_type remove_deferred(std::size_t i) {
        entry_type out(std::move(slots()[i]));
        std::destroy_at(&slots()[i]);
        ctrl_[i] = common::arena::kTombstone;
        --len_;
        ++tombstones_;
        return out;
    }
    void finish_deferred_removals() noexcept { ++finish_calls_; }

    std::expected<void, map::TryReserveError> reserve(std::size_t additional) {
        if (additional > kCapacity - len_) return std::unexpected(map::TryReserveError::capacity_overflow());
        return {};
    }
    void clear() noexcept {
        common::arena::FlatStorage<entry_type>{ctrl_.get(), slots(), kSlots}.drop_all_values();
        len_ = 0;
        tombstones_ = 0;
    }

    std::size_t len() const noexcept { return len_; }
    std::size_t capacity() const noexcept { return kCapacity; }
    common::hash::HashSeeds seeds() const noexcept { return seeds_; }
    std::uint32_t reserve_exponent() const noexcept { return 0; }
    std::size_t heap_bytes() const noexcept { return 0; }

    entry_type* scan_next(cursor_type& cursor) const {
        return cursor.next([this](cursor_type& c) { return scan_advance(c); });
    }
    bool scan_advance(cursor_type& cursor) const {
        ++advances_;
        switch (cursor.regions_entered()) {
            case 0:
                cursor.enter_region(ctrl_.get(), kFirstRegion, slots());
                return true;
            case 1:
                cursor.enter_region(ctrl_.get() + kFirstRegion, kSlots - kFirstRegion, slots() + kFirstRegion);
                return true;
            default:
                return false;
        }
    }
    std::size_t cursor_location(const cursor_type& cursor) const noexcept {
        return (cursor.regions_entered() == 2 ? kFirstRegion : 0) + cursor.last_slot();
    }

    std::size_t tombstones() const { return tombstones_; }
    int finish_calls() const { return finish_calls_; }
    int advances() const { return advances_; }
    int removals() const { return removals_; }

private:
    struct alignas(entry_type) Raw {
        std::byte bytes[sizeof(entry_type)];
    };
    entry_type* slots() const noexcept { return reinterpret_cast<entry_type*>(raw_.get()); }

    common::hash::HashSeeds seeds_;
    std::unique_ptr<std::uint8_t[]> ctrl_;
    std::unique_ptr<Raw[]> raw_;
    std::size_t len_ = 0;
    std::size_t tombstones_ = 0;
    int finish_calls_ = 0;
    mutable int advances_ = 0;
    int removals_ = 0;
};

}  // namespace tavoric::testing
