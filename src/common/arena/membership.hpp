// Membership bits: a cheap "certainly absent" answer before any probe.
//
// A table keeps one membership record per ten slots (block_layout.hpp). A key
// is recorded in the record ⌊x·R / 2^64⌋ of the R records, as the two bits
// x mod 64 and (x >> 32) mod 64 of the record's first word, x a well-mixed
// 64-bit word of the key (each design chooses which). A lookup whose bits are
// not all set in its record cannot find its key. Bits are never cleared by a
// removal, only by a rebuild or clear, so the answer stays safe.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/hash/bounded_reduction.hpp"

namespace tavoric::common::arena {

struct MembershipBits {
    std::size_t record;
    std::uint64_t mask;

    static constexpr std::uint64_t mask_of(std::uint64_t x) noexcept {
        return (std::uint64_t{1} << (x & 63)) | (std::uint64_t{1} << ((x >> 32) & 63));
    }
    static constexpr std::size_t record_of(std::uint64_t x, std::size_t records) noexcept {
        return static_cast<std::size_t>(hash::multiply_high(x, records));
    }
    static constexpr MembershipBits of(std::uint64_t x, std::size_t records) noexcept {
        return {record_of(x, records), mask_of(x)};
    }
};

}  // namespace tavoric::common::arena
