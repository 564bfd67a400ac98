// The iteration cursor shared by both tables.
//
// A table's entries sit in one or more regions (the Funnel table has one flat
// region, the Elastic table one per level). The cursor walks a region eight
// control bytes at a time: a group is loaded as one little-endian word and
// live_mask() marks its live slots; a tail shorter than eight bytes is read
// byte by byte, so the cursor never reads past a region's end and needs no
// padding after it. When a region is exhausted the cursor asks the table for
// the next one through the table's scan_advance(cursor), which either calls
// enter_region() and returns true, or returns false when there is none.
//
// The visiting order is therefore: regions in the order the table hands them
// out, and increasing slot index within a region. Removing the entry just
// yielded (tombstoning it) is safe while the walk goes on; anything else that
// changes the table invalidates the cursor.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "common/arena/control.hpp"
#include "common/error/panic.hpp"

namespace tavoric::common::iter {

template <class Entry>
class Cursor {
public:
    Cursor() noexcept = default;
    explicit Cursor(std::size_t remaining) noexcept : remaining_(remaining) {}

    // Called by a table's scan_advance to hand out its next region.
    void enter_region(const std::uint8_t* ctrl, std::size_t len, Entry* entries) noexcept {
        active_ = true;
        region_start_ = ctrl;
        ctrl_ = ctrl;
        end_ = ctrl + len;
        entries_ = entries;
        group_base_ = 0;
        pending_ = 0;
        ++regions_entered_;
    }

    // How many regions the table has handed out so far (0 before the first);
    // the table's scan_advance uses it to pick the next one.
    std::size_t regions_entered() const noexcept { return regions_entered_; }
    // Slot index, within its region, of the entry yielded last.
    std::size_t last_slot() const noexcept { return last_slot_; }
    // Entries still to yield (starts at the table length).
    std::size_t remaining() const noexcept { return remaining_; }

    // The next live entry, or nullptr when the table has no more regions.
    template <class Advance>
    Entry* next(Advance&& scan_advance) {
        for (;;) {
            if (pending_ != 0) {
                std::size_t slot = group_base_ + arena::lowest_byte(pending_);
                pending_ &= pending_ - 1;
                if (remaining_ != 0) --remaining_;
                last_slot_ = slot;
                return entries_ + slot;
            }
            if (active_ && ctrl_ != end_) {
                load_next_group();
                continue;
            }
            active_ = false;
            if (!scan_advance(*this)) return nullptr;
        }
    }

private:
    void load_next_group() {
        error::check(ctrl_ <= end_, "iterator control pointers remain ordered");
        group_base_ = static_cast<std::size_t>(ctrl_ - region_start_);
        auto left = static_cast<std::size_t>(end_ - ctrl_);
        if (left >= arena::kGroupWidth) {
            pending_ = arena::live_mask(arena::load_group(ctrl_));
            ctrl_ += arena::kGroupWidth;
            return;
        }
        std::uint64_t mask = 0;
        for (std::size_t i = 0; i < left; ++i) {
            if (arena::is_live(ctrl_[i])) mask |= std::uint64_t{0x80} << (8 * i);
        }
        pending_ = mask;
        ctrl_ = end_;
    }

    bool active_ = false;
    const std::uint8_t* region_start_ = nullptr;
    const std::uint8_t* ctrl_ = nullptr;
    const std::uint8_t* end_ = nullptr;
    Entry* entries_ = nullptr;
    std::size_t group_base_ = 0;
    std::uint64_t pending_ = 0;
    std::size_t remaining_ = 0;
    std::size_t regions_entered_ = 0;
    std::size_t last_slot_ = 0;
};

}  // namespace tavoric::common::iter
