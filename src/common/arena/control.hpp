// Control bytes: one per slot, shared by both tables and the iteration cursor.
//
//   0x00        empty
//   0x80        tombstone (a removed entry)
//   0x01..0x7F  live; the key's fingerprint, the top 7 bits of its table hash
//               with 0 replaced by 1
//
// A slot is live exactly when the low seven bits are non-zero. Groups of eight
// control bytes are examined as one little-endian 64-bit word; the masks below
// mark a byte by setting its bit 7, so (countr_zero(mask) / 8) is the position
// of the lowest marked byte.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tavoric::common::arena {

inline constexpr std::uint8_t kEmpty = 0x00;
inline constexpr std::uint8_t kTombstone = 0x80;
inline constexpr std::size_t kGroupWidth = 8;

inline constexpr std::uint64_t kLowSevenBits = 0x7f7f7f7f7f7f7f7fULL;
inline constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
inline constexpr std::uint64_t kLowBytes = 0x0101010101010101ULL;

constexpr bool is_live(std::uint8_t control) noexcept { return (control & 0x7f) != 0; }

// Top seven bits of a table hash, never 0 so that it cannot read as empty.
constexpr std::uint8_t fingerprint_of(std::uint64_t hash) noexcept {
    auto top = static_cast<std::uint8_t>(hash >> 57);
    return top == 0 ? std::uint8_t{1} : top;
}

// Eight control bytes from p as a little-endian word (p[0] in the low byte).
inline std::uint64_t load_group(const std::uint8_t* p) noexcept {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::big) {
        word = std::byteswap(word);
    }
    return word;
}

// Bytes whose low seven bits are non-zero (live slots). No carry crosses a
// byte: each byte sum is at most 0x7f + 0x7f.
constexpr std::uint64_t live_mask(std::uint64_t group) noexcept {
    return ((group & kLowSevenBits) + kLowSevenBits) & kHighBits;
}

// Bytes whose low seven bits are zero (empty or tombstone).
constexpr std::uint64_t free_mask(std::uint64_t group) noexcept { return ~live_mask(group) & kHighBits; }

// Bytes that are exactly 0x00.
constexpr std::uint64_t empty_mask(std::uint64_t group) noexcept {
    return ~(((group & kLowSevenBits) + kLowSevenBits) | group) & kHighBits;
}

// Bytes equal to the fingerprint fp (exact: no false positives).
constexpr std::uint64_t match_mask(std::uint64_t group, std::uint8_t fp) noexcept {
    return empty_mask(group ^ (kLowBytes * fp));
}

// Position (0..7) of the lowest marked byte of a non-zero mask.
constexpr std::size_t lowest_byte(std::uint64_t mask) noexcept {
    return static_cast<std::size_t>(std::countr_zero(mask)) / 8;
}

// The walks both tables make over a run of n control bytes, eight at a time.
// The run needs no padding: a last, partial group is copied out and the
// bytes past n are masked off.
//
// find_slot: the first slot in [0, n) whose byte `select` marks (select maps
// a group to a mask: free_mask, a match_mask, ...) and that `accept` takes,
// in slot order; n when there is none.
template <class Select, class Accept>
inline std::size_t find_slot(const std::uint8_t* ctrl, std::size_t n, Select&& select, Accept&& accept) {
    for (std::size_t i = 0; i < n; i += kGroupWidth) {
        std::uint64_t group;
        std::uint64_t in_run = ~std::uint64_t{0};
        if (n - i >= kGroupWidth) {
            group = load_group(ctrl + i);
        } else {
            std::uint8_t tail[kGroupWidth] = {};
            std::memcpy(tail, ctrl + i, n - i);
            group = load_group(tail);
            in_run = (std::uint64_t{1} << (8 * (n - i))) - 1;
        }
        for (std::uint64_t marked = select(group) & in_run; marked != 0; marked &= marked - 1) {
            const std::size_t slot = i + lowest_byte(marked);
            if (accept(slot)) return slot;
        }
    }
    return n;
}

// The first free slot (empty or tombstone) in [0, n), or n.
inline std::size_t first_free(const std::uint8_t* ctrl, std::size_t n) noexcept {
    return find_slot(ctrl, n, free_mask, [](std::size_t) { return true; });
}

// Empties every slot of [0, n): tombstones become empty, and each live slot
// is marked empty before release(slot) runs (a release may run arbitrary
// code, which must not see it as live).
template <class Release>
inline void clear_slots(std::uint8_t* ctrl, std::size_t n, Release&& release) {
    find_slot(ctrl, n, live_mask, [&](std::size_t slot) {
        ctrl[slot] = kEmpty;
        release(slot);
        return false;
    });
    if (n != 0) std::memset(ctrl, 0, n);  // an empty table has no control bytes at all
}

}  // namespace tavoric::common::arena
