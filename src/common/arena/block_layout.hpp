// The one block a table shape lives in, for either design:
//
//   offset 0        control bytes: one per slot, then `padding` trailing
//                   zeros (a design that reads control groups past its last
//                   slot asks for them)
//   entries_offset  the n entries, at the entry's alignment
//   records_offset  the membership records (membership.hpp), one per ten
//                   slots rounded up, at the next multiple of 64
//   size            the end of the records rounded up to 64; 0 for n = 0
//
// Byte counts beyond what a block may hold are an allocation failure: such a
// block could never be had, whatever the table's shape says.
#pragma once

#include <cstddef>
#include <cstring>
#include <expected>

#include "common/arena/aligned_block.hpp"
#include "common/error/try_errors.hpp"

namespace tavoric::common::arena {

inline constexpr std::size_t kSlotsPerRecord = 10;

struct BlockLayout {
    std::size_t slots = 0;
    std::size_t control_bytes = 0;   // slots + padding
    std::size_t entries_offset = 0;
    std::size_t records_offset = 0;
    std::size_t records = 0;         // ⌈slots / 10⌉
    std::size_t record_size = 0;
    std::size_t size = 0;
};

namespace detail {
constexpr bool round_up(std::size_t value, std::size_t to, std::size_t& out) noexcept {
    if (value > kMaxBlockBytes) return false;
    out = (value + to - 1) / to * to;
    return out <= kMaxBlockBytes;
}
}  // namespace detail

constexpr std::expected<BlockLayout, TryReserveError> block_layout(std::size_t n, std::size_t padding,
                                                                   std::size_t entry_size, std::size_t entry_align,
                                                                   std::size_t record_size) noexcept {
    BlockLayout layout;
    layout.slots = n;
    if (n == 0) return layout;
    const auto refuse = std::unexpected(TryReserveError::alloc_error());
    if (n > kMaxBlockBytes - padding) return refuse;
    layout.control_bytes = n + padding;
    if (!detail::round_up(layout.control_bytes, entry_align, layout.entries_offset)) return refuse;
    if (n > (kMaxBlockBytes - layout.entries_offset) / entry_size) return refuse;
    if (!detail::round_up(layout.entries_offset + n * entry_size, kTableAlignment, layout.records_offset)) return refuse;
    layout.records = n / kSlotsPerRecord + (n % kSlotsPerRecord != 0 ? 1 : 0);
    layout.record_size = record_size;
    if (layout.records > (kMaxBlockBytes - layout.records_offset) / record_size) return refuse;
    if (!detail::round_up(layout.records_offset + layout.records * record_size, kTableAlignment, layout.size)) {
        return refuse;
    }
    return layout;
}

// A block for this layout with its control bytes and membership records
// zeroed (an empty table); the entries stay uninitialised.
inline std::expected<OwnedBlock, TryReserveError> try_allocate_table_block(const BlockLayout& layout) noexcept {
    auto block = try_allocate_block(layout.size, kTableAlignment);
    if (!block || layout.size == 0) return block;
    std::memset(block->base(), 0, layout.control_bytes);
    std::memset(block->base() + layout.records_offset, 0, layout.records * layout.record_size);
    return block;
}

}  // namespace tavoric::common::arena
