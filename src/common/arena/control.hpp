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
//
// A table whose buckets are at most sixteen slots wide matches a whole bucket
// with one WideGroup instead: sixteen bytes compared at once, one mask bit
// per byte (bit i for byte i). On x86-64 that is three SSE2 instructions per
// mask (SSE2 is part of the base instruction set, so nothing is dispatched at
// run time); other machines build the same masks from two eight-byte words.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) && !defined(TAVORIC_PORTABLE_GROUPS)
#define TAVORIC_SSE2_GROUPS 1
#include <emmintrin.h>
#endif

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

inline constexpr std::size_t kWideGroupWidth = 16;
// Trailing zero control bytes that make a wide group read safe at every slot
// index (the bytes past the last slot then read as empty).
inline constexpr std::size_t kWideGroupPadding = kWideGroupWidth - 1;

// Sixteen control bytes from p. Every mask has bit i set for byte i only,
// and no bit above 15.
class WideGroup {
public:
    using Mask = std::uint32_t;

#if defined(TAVORIC_SSE2_GROUPS)
    explicit WideGroup(const std::uint8_t* p) noexcept
        : bytes_(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))) {}

    // Bytes equal to the fingerprint fp (exact).
    Mask match(std::uint8_t fp) const noexcept {
        return mask_of(_mm_cmpeq_epi8(bytes_, _mm_set1_epi8(static_cast<char>(fp))));
    }
    Mask empty() const noexcept { return mask_of(_mm_cmpeq_epi8(bytes_, _mm_setzero_si128())); }
    // Only a tombstone has its top bit set (live bytes are 0x01..0x7F), so
    // the sign bits are the tombstones.
    Mask tombstone() const noexcept { return mask_of(bytes_); }

private:
    static Mask mask_of(__m128i v) noexcept { return static_cast<Mask>(_mm_movemask_epi8(v)); }
    __m128i bytes_;
#else
    explicit WideGroup(const std::uint8_t* p) noexcept : low_(load_group(p)), high_(load_group(p + kGroupWidth)) {}

    Mask match(std::uint8_t fp) const noexcept { return pack(match_mask(low_, fp), match_mask(high_, fp)); }
    Mask empty() const noexcept { return pack(empty_mask(low_), empty_mask(high_)); }
    Mask tombstone() const noexcept { return pack(low_ & kHighBits, high_ & kHighBits); }

private:
    // Gathers the marker bits (bit 7 of each byte) of two eight-byte masks
    // into sixteen consecutive bits: shifted down to bit 0 of each byte, the
    // multiplication moves byte j's bit to bit 56 + j without collisions.
    static Mask pack(std::uint64_t low, std::uint64_t high) noexcept {
        constexpr std::uint64_t kGather = 0x0102040810204080ULL;
        return static_cast<Mask>(((low >> 7) * kGather) >> 56) | static_cast<Mask>(((high >> 7) * kGather) >> 56) << 8;
    }
    std::uint64_t low_, high_;
#endif
};

// Position of the lowest marked byte of a non-zero wide mask.
constexpr std::size_t lowest_index(WideGroup::Mask mask) noexcept {
    return static_cast<std::size_t>(std::countr_zero(mask));
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
