// Storage of an Elastic table: one 64-byte aligned arena per table shape.
//
//   offset 0   control bytes of every level, level 0 first (N bytes, zeroed)
//   E          entries of every level, level 0 first (N records); E is N
//              rounded up to the entry's alignment
//   M          membership groups, ceil(N / 10) records of 16 bytes (zeroed);
//              M is the end of the entries rounded up to 64
//   size       M + groups * 16 rounded up to 64
//
// Level i's control bytes start at P and its entries at E + P * entry size,
// where P is the total length of the levels before it. The Level records
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
#include "common/error/try_errors.hpp"
#include "elastic/geometry.hpp"

namespace tavoric::elastic {

using common::error::TryReserveError;

inline constexpr std::size_t kArenaAlignment = common::arena::kTableAlignment;
inline constexpr std::size_t kSlotsPerGroup = 10;

// One membership group: the bloom word of every key recorded in it and, for
// tables of at most 16 levels, four lanes of per-level bits (lane = low two
// bits of the prepared hash, bit l = some such key sits in level l).
struct MembershipGroup {
    std::uint64_t bloom;
    std::uint16_t lanes[4];
};
static_assert(sizeof(MembershipGroup) == 16);

template <class Entry>
struct Level {
    std::uint8_t* ctrl = nullptr;
    Entry* entries = nullptr;
    std::size_t len = 0;
    std::size_t occupied = 0;
    std::size_t tombstones = 0;
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

struct ElasticLayout {
    std::size_t slots = 0;
    std::size_t entries_offset = 0;     // E
    std::size_t membership_offset = 0;  // M (0 without groups)
    std::size_t groups = 0;
    std::size_t size = 0;
};

constexpr bool round_up(std::size_t value, std::size_t to, std::size_t& out) noexcept {
    const std::size_t mask = to - 1;
    if (value > SIZE_MAX - mask) return false;
    out = (value + mask) & ~mask;
    return true;
}

// Layout of N slots of `entry_size`-byte records aligned to `entry_align`.
// Byte counts beyond what a block may hold are an allocation failure.
constexpr std::expected<ElasticLayout, TryReserveError> elastic_layout(std::size_t n, std::size_t entry_size,
                                                                       std::size_t entry_align) noexcept {
    using common::arena::kMaxBlockBytes;
    ElasticLayout layout;
    layout.slots = n;
    if (n == 0) return layout;
    const auto refuse = std::unexpected(TryReserveError::alloc_error());
    std::size_t e = 0;
    if (!round_up(n, entry_align, e) || e > kMaxBlockBytes) return refuse;
    if (n > (kMaxBlockBytes - e) / entry_size) return refuse;
    const std::size_t entries_end = e + n * entry_size;
    std::size_t m = 0;
    if (!round_up(entries_end, kArenaAlignment, m) || m > kMaxBlockBytes) return refuse;
    const std::size_t groups = n / kSlotsPerGroup + (n % kSlotsPerGroup != 0 ? 1 : 0);
    if (groups > (kMaxBlockBytes - m) / sizeof(MembershipGroup)) return refuse;
    const std::size_t end = m + groups * sizeof(MembershipGroup);
    std::size_t size = 0;
    if (!round_up(end, kArenaAlignment, size) || size > kMaxBlockBytes) return refuse;
    layout.entries_offset = e;
    layout.membership_offset = m;
    layout.groups = groups;
    layout.size = size;
    return layout;
}

template <class Entry>
struct ElasticArena {
    common::arena::OwnedBlock block;
    ElasticLevels<Entry> levels;
    ElasticLayout layout;

    MembershipGroup* groups() const noexcept {
        if (layout.groups == 0) return nullptr;
        return reinterpret_cast<MembershipGroup*>(block.base() + layout.membership_offset);
    }
};

// A new, empty arena for these level lengths: control bytes and membership
// groups zeroed, entries uninitialised. Nothing is left allocated on failure.
template <class Entry>
std::expected<ElasticArena<Entry>, TryReserveError> try_alloc_elastic_arena(
    const LevelWords& lengths) noexcept {
    static_assert(alignof(Entry) <= kArenaAlignment);
    std::size_t n = 0;
    for (std::size_t len : lengths) {
        if (len > SIZE_MAX - n) return std::unexpected(TryReserveError::capacity_overflow());
        n += len;
    }
    auto layout = elastic_layout(n, sizeof(Entry), alignof(Entry));
    if (!layout) return std::unexpected(layout.error());
    auto block = common::arena::try_allocate_block(layout->size, kArenaAlignment);
    if (!block) return std::unexpected(block.error());

    ElasticArena<Entry> arena;
    arena.layout = *layout;
    arena.block = std::move(*block);
    std::byte* base = arena.block.base();
    if (n != 0) {
        std::memset(base, 0, n);
        std::memset(base + layout->membership_offset, 0, layout->groups * sizeof(MembershipGroup));
    }
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
            level.len = lengths[i];
            before += lengths[i];
        }
    }
    return arena;
}

}  // namespace tavoric::elastic
