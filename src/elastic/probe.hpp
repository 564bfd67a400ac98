// Prepared keys and probe slots of an Elastic table.
//
// From the 64-bit table hash h a lookup derives, once:
//   T  the fingerprint kept in the slot's control byte (top 7 bits, never 0),
//   H  the prepared hash, h shifted by a constant and run through the
//      SplitMix64 finalizer, which every probe position is derived from,
//   M  the membership bits of H (common/arena/membership.hpp), recorded in
//      the key's membership group.
// Probe t of level l uses the 32-bit selector s(l, t) = l * 65536 + 8 t: the
// level in bits 16 and up, t in bits 3..15 (bits 0..2 stay 0, so selectors
// keep the values they have always had).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/arena/control.hpp"
#include "common/arena/membership.hpp"
#include "elastic/phi.hpp"
#include "common/hash/splitmix.hpp"

namespace tavoric::elastic {

using common::hash::splitmix64_finalize;

inline constexpr std::uint64_t kElasticHashOffset = 0x3492F879D6490B46ULL;

struct ElasticPreparedKey {
    std::uint8_t fingerprint;  // T
    std::uint64_t prepared;    // H
    std::uint64_t membership;  // M
};

constexpr ElasticPreparedKey elastic_prepare(std::uint64_t h) noexcept {
    const std::uint64_t H = splitmix64_finalize(h - kElasticHashOffset);
    return {common::arena::fingerprint_of(h), H, common::arena::MembershipBits::mask_of(H)};
}

constexpr std::uint32_t elastic_selector(std::uint32_t level, std::uint32_t probe) noexcept {
    return level * 65536u + 8u * probe;
}

constexpr std::uint32_t elastic_selector_level(std::uint32_t selector) noexcept {
    return (selector >> 16) & 0x1F;
}

// g(H, x) = H xor F(H xor x), x a 32-bit value zero-extended.
constexpr std::uint64_t elastic_probe_mix(std::uint64_t H, std::uint32_t x) noexcept {
    return H ^ splitmix64_finalize(H ^ std::uint64_t{x});
}

// Slot of the probe with this selector in a level of length n. Every level of
// an Elastic shape has a power-of-two length (1 included; the geometry makes
// no other), so the slot is the top log2(n) bits of the mix: no division, no
// rejection, no branch. For any n that is a shift by 64 - log2(n), done in
// two steps so that n = 1 gives 0 without a shift by 64.
[[gnu::always_inline]] constexpr inline std::size_t elastic_probe_slot(std::uint64_t H, std::uint32_t selector,
                                                                       std::size_t n) noexcept {
    const unsigned below_top = 63u - static_cast<unsigned>(std::countr_zero(n));
    return static_cast<std::size_t>((elastic_probe_mix(H, selector) >> 1) >> below_top);
}

// A table's levels have two slots or more (a table has at least
// kElasticMinSlots, and its last two levels are equally long), so there the
// shift is at most 63 and one instruction. It depends on the level alone:
// each level keeps its elastic_level_shift, and every probe of a table
// (primary, walks, placements) takes its slot by elastic_probe_slot_shifted.
constexpr unsigned elastic_level_shift(std::size_t n) noexcept {
    return 64u - static_cast<unsigned>(std::countr_zero(n));
}

[[gnu::always_inline]] constexpr inline std::size_t elastic_probe_slot_shifted(std::uint64_t H, std::uint32_t selector,
                                                                               unsigned level_shift) noexcept {
    return static_cast<std::size_t>(elastic_probe_mix(H, selector) >> level_shift);
}

}  // namespace tavoric::elastic
