// Operations over slot storage shared by both tables.
//
// A region is a run of control bytes with the slot array beside it. Live slots
// hold constructed entries; every other slot is raw memory. ArenaSlots walks
// one region eight control bytes at a time (then the tail one by one) and
// either moves live entries out (drain_values_and_clear, used by rebuilds) or
// destroys them in place (drop_values). Both clear a slot's control byte
// before its entry leaves, so if a release misbehaves the slot can never be
// released a second time.
//
// A RegionSet is whatever storage a table keeps in one block: the Funnel
// table's FlatStorage is a single region, the Elastic table has one region per
// level. ArenaDropGuard owns a detached block and, optionally, the RegionSet
// laid out in it; it is how a rebuild holds the old storage while entries
// move out, so any exit releases exactly the entries not yet moved.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "common/arena/aligned_block.hpp"
#include "common/arena/control.hpp"

namespace tavoric::common::arena {

template <class Entry>
class ArenaSlots {
public:
    ArenaSlots(std::uint8_t* ctrl, Entry* slots, std::size_t len) noexcept : ctrl_(ctrl), slots_(slots), len_(len) {}

    // Visits live slots in ascending index order: clears the control byte,
    // moves the entry out and hands it to sink(Entry&&). Afterwards every
    // control byte of the region (tombstones too) is 0.
    template <class Sink>
    void drain_values_and_clear(Sink&& sink) {
        walk([&](std::size_t i) {
            Entry moved(std::move(slots_[i]));
            std::destroy_at(&slots_[i]);
            sink(std::move(moved));
        });
    }

    // Releases every live entry in place; the region ends all zero.
    void drop_values() noexcept {
        walk([&](std::size_t i) { std::destroy_at(&slots_[i]); });
    }

private:
    template <class Visit>
    void walk(Visit&& visit) {
        std::size_t i = 0;
        for (; i + kGroupWidth <= len_; i += kGroupWidth) {
            std::uint64_t live = live_mask(load_group(ctrl_ + i));
            while (live != 0) {
                std::size_t slot = i + lowest_byte(live);
                live &= live - 1;
                ctrl_[slot] = kEmpty;
                visit(slot);
            }
            std::memset(ctrl_ + i, 0, kGroupWidth);
        }
        for (; i < len_; ++i) {
            if (is_live(ctrl_[i])) {
                ctrl_[i] = kEmpty;
                visit(i);
            }
            ctrl_[i] = kEmpty;
        }
    }

    std::uint8_t* ctrl_;
    Entry* slots_;
    std::size_t len_;
};

template <class S>
concept RegionSet = std::move_constructible<S> && requires(S& s) {
    { s.drop_all_values() } noexcept;
};

// The Funnel table's storage: one flat region of n slots.
template <class Entry>
struct FlatStorage {
    std::uint8_t* ctrl = nullptr;
    Entry* slots = nullptr;
    std::size_t n = 0;

    ArenaSlots<Entry> region() const noexcept { return ArenaSlots<Entry>(ctrl, slots, n); }
    void drop_all_values() noexcept { region().drop_values(); }
};

template <RegionSet Storage>
class ArenaDropGuard {
public:
    // Guards a block with the storage laid out in it.
    ArenaDropGuard(OwnedBlock block, Storage storage) noexcept(std::is_nothrow_move_constructible_v<Storage>)
        : block_(std::move(block)), storage_(std::move(storage)) {}
    // Guards a bare block (nothing constructed in it yet).
    explicit ArenaDropGuard(OwnedBlock block) noexcept : block_(std::move(block)) {}

    ArenaDropGuard(const ArenaDropGuard&) = delete;
    ArenaDropGuard& operator=(const ArenaDropGuard&) = delete;

    ~ArenaDropGuard() {
        if (block_.align() == 0) return;
        if (storage_) storage_->drop_all_values();
        storage_.reset();
        block_.release();
    }

    Storage* storage() noexcept { return storage_ ? &*storage_ : nullptr; }

    // Takes the block (and the storage) out: the guard then does nothing.
    OwnedBlock take_block() noexcept {
        storage_.reset();
        return std::move(block_);
    }

private:
    OwnedBlock block_;
    std::optional<Storage> storage_;
};

}  // namespace tavoric::common::arena
