// Storage of an Elastic table: one block per table shape
// (common/arena/block_layout.hpp): the control bytes of every level, level 0
// first, then the entries of every level in the same order, then one
// 16-byte membership group per ten slots.
//
// Level i's control bytes start at P and its entries at E + P * entry size,
// where P is the total length of the levels before it and E the block's
// entries offset. The Level records
// themselves live in a small separate array; together with the arena they
// form the RegionSet a rebuild parks in an ArenaDropGuard while entries move
// out of the old shape.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <memory>
#include <utility>

#include "common/arena/aligned_block.hpp"
#include "common/arena/arena_slots.hpp"
#include "common/arena/block_layout.hpp"
#include "common/error/panic.hpp"
#include "common/error/try_errors.hpp"
#include "elastic/geometry.hpp"
#include "elastic/probe.hpp"

namespace tavoric::elastic {

using common::error::TryReserveError;

// One membership group: the membership bits of every key recorded in it
// (common/arena/membership.hpp, over the prepared hash) and, for tables of at
// most 16 levels, four lanes of per-level bits (lane = low two bits of the
// prepared hash, bit l = some such key sits in level l).
struct MembershipGroup {
    std::uint64_t bloom;
    std::uint16_t lanes[4];
};
static_assert(sizeof(MembershipGroup) == 16);

// Tombstones a level of length n tolerates before the table rebuilds:
// three quarters of a small level, half of a large one plus 32.
constexpr std::size_t tombstone_threshold(std::size_t n) noexcept {
    const std::size_t half = n / 2 + 32;
    const std::size_t three_quarters = (n / 4) * 3 + ((n % 4) * 3) / 4;
    return half < three_quarters ? half : three_quarters;
}

template <class Entry>
struct Level {
    std::uint8_t* ctrl = nullptr;
    Entry* entries = nullptr;
    // A level holds at most 2^31 slots, so its length and its slot shift
    // (elastic_level_shift(len), kept so that every probe of the level, the
    // primary one included, skips recomputing it) share one word.
    std::uint32_t len = 0;
    std::uint32_t shift = 63;
    std::size_t occupied = 0;
    // Tombstones, and tombstone_threshold(len), which every removal tests
    // them against; both at most len, so two 32-bit halves of one word.
    std::uint32_t tombstones = 0;
    std::uint32_t tombstone_limit = 0;
};

// The Level array of one shape; as a RegionSet it releases every entry still
// live in any of its levels.
template <class Entry>
struct ElasticLevels {
    std::unique_ptr<Level<Entry>[]> levels;
    std::size_t count = 0;

    Level<Entry>& operator[](std::size_t i) noexcept { return levels[i]; }
    const Level<Entry>& operator[](std::size_t i) const noexcept { return levels[i]; }

    void drop_all_values() noexcept {
        for (std::size_t i = 0; i < count; ++i) {
            Level<Entry>& level = levels[i];
            common::arena::ArenaSlots<Entry>(level.ctrl, level.entries, level.len).drop_values();
            level.occupied = 0;
            level.tombstones = 0;
        }
    }
};

// The block of N slots: no padding after the control bytes (lookups read
// them byte by byte; the full scan stops its groups at each level's end).
constexpr std::expected<common::arena::BlockLayout, TryReserveError> elastic_layout(
    std::size_t n, std::size_t entry_size, std::size_t entry_align) noexcept {
    return common::arena::block_layout(n, 0, entry_size, entry_align, sizeof(MembershipGroup));
}

template <class Entry>
struct ElasticArena {
    common::arena::OwnedBlock block;
    ElasticLevels<Entry> levels;
    common::arena::BlockLayout layout;

    MembershipGroup* groups() const noexcept {
        if (layout.records == 0) return nullptr;
        return groups_of_slotted();
    }
    // groups() of an arena known to have slots, hence at least one group.
    MembershipGroup* groups_of_slotted() const noexcept {
        return reinterpret_cast<MembershipGroup*>(block.base() + layout.records_offset);
    }
};

// A new, empty arena for these level lengths: control bytes and membership
// groups zeroed, entries uninitialised. Nothing is left allocated on failure.
template <class Entry>
std::expected<ElasticArena<Entry>, TryReserveError> try_alloc_elastic_arena(
    const LevelWords& lengths) noexcept {
    static_assert(alignof(Entry) <= common::arena::kTableAlignment);
    std::size_t n = 0;
    for (std::size_t len : lengths) {
        if (len > SIZE_MAX - n) return std::unexpected(TryReserveError::capacity_overflow());
        n += len;
    }
    auto layout = elastic_layout(n, sizeof(Entry), alignof(Entry));
    if (!layout) return std::unexpected(layout.error());
    auto block = common::arena::try_allocate_table_block(*layout);
    if (!block) return std::unexpected(block.error());

    ElasticArena<Entry> arena;
    arena.layout = *layout;
    arena.block = std::move(*block);
    std::byte* base = arena.block.base();
    if (!lengths.empty()) {
        auto array = common::arena::try_allocate_array<Level<Entry>>(lengths.size());
        if (!array) return std::unexpected(array.error());  // the block is freed with `arena`
        arena.levels.levels = std::move(*array);
        arena.levels.count = lengths.size();
        std::size_t before = 0;
        for (std::size_t i = 0; i < lengths.size(); ++i) {
            Level<Entry>& level = arena.levels[i];
            level.ctrl = reinterpret_cast<std::uint8_t*>(base) + before;
            level.entries = reinterpret_cast<Entry*>(base + layout->entries_offset) + before;
            level.len = static_cast<std::uint32_t>(lengths[i]);
            // One shift takes a slot only from levels of two slots or more.
            common::error::check(lengths[i] >= 2, "Elastic levels hold two slots or more");
            level.shift = elastic_level_shift(lengths[i]);
            level.tombstone_limit = static_cast<std::uint32_t>(tombstone_threshold(lengths[i]));
            before += lengths[i];
        }
    }
    return arena;
}

}  // namespace tavoric::elastic
