// A minimal table satisfying TableBackend, so the containers are tested apart
// from either design: 24 slots of linear probing, scanned as two regions of 13
// and 11 (neither a multiple of 8), at most 20 entries, no growth. It counts
// remove and finish_deferred_removals calls.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <utility>

#include "common/arena/arena_slots.hpp"
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
    static constexpr std::size_t kSlots = 24, kFirstRegion = 13, kCapacity = 20;

    explicit ToyTable(common::hash::HashSeeds seeds)
        : seeds_(seeds), ctrl_(new std::uint8_t[kSlots]()), raw_(new Raw[kSlots]) {}
    ToyTable(ToyTable&&) noexcept = default;
    ~ToyTable() {
        if (ctrl_) clear();
    }

    std::expected<std::optional<V>, map::TryReserveError> insert(K key, V value, std::uint64_t hash) {
        if (auto at = find(key, hash)) return std::optional<V>(std::exchange(slots()[*at].value, std::move(value)));
        if (len_ == kCapacity) return std::unexpected(map::TryReserveError::alloc_error());
        std::size_t i = hash % kSlots;
        while (common::arena::is_live(ctrl_[i])) i = (i + 1) % kSlots;
        std::construct_at(&slots()[i], std::move(key), std::move(value));
        ctrl_[i] = common::arena::fingerprint_of(hash);
        ++len_;
        return std::optional<V>();
    }
    template <class Q>
    std::optional<std::size_t> find(const Q& probe, std::uint64_t hash) const {
        for (std::size_t n = 0, i = hash % kSlots; n < kSlots && ctrl_[i] != common::arena::kEmpty; ++n, i = (i + 1) % kSlots)
            if (ctrl_[i] == common::arena::fingerprint_of(hash) && probe.matches(slots()[i].key)) return i;
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
    }
    std::size_t len() const noexcept { return len_; }
    std::size_t capacity() const noexcept { return kCapacity; }
    common::hash::HashSeeds seeds() const noexcept { return seeds_; }
    std::uint32_t reserve_exponent() const noexcept { return 0; }
    std::size_t heap_bytes() const noexcept { return 0; }
    entry_type* scan_next(cursor_type& cursor) const {
        return cursor.next([this](cursor_type& c) {
            const std::size_t r = c.regions_entered(), start = r == 0 ? 0 : kFirstRegion;
            if (r > 1) return false;
            c.enter_region(ctrl_.get() + start, r == 0 ? kFirstRegion : kSlots - kFirstRegion, slots() + start);
            return true;
        });
    }
    std::size_t cursor_location(const cursor_type& cursor) const noexcept {
        return (cursor.regions_entered() == 2 ? kFirstRegion : 0) + cursor.last_slot();
    }
    int finish_calls() const { return finish_calls_; }
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
    int finish_calls_ = 0, removals_ = 0;
};

}  // namespace tavoric::testing
