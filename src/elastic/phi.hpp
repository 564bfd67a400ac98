// The injection phi that orders the probe positions of an Elastic table.
//
// Probe number j (from 1) of level i (from 1) gets the code
//   enc(j) . 0 . bin(i)
// where enc(j) writes every bit b of j, most significant first, as the pair
// "1 b". The code is injective (the 0 after enc(j) is the first even-position
// 0, so the split is unambiguous) and strictly increasing in j for a fixed i,
// and it grows with j much faster than with i: ordering all (level, probe)
// pairs by phi interleaves the deep probes of shallow levels with the shallow
// probes of deep levels, which is the order lookups walk.
//
// Probes whose code exceeds kPhiCap are never used; kMaxProbesPerLevel bounds
// the probe number independently.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>

namespace tavoric::elastic {

__extension__ typedef unsigned __int128 u128;

inline constexpr std::uint64_t kPhiCap = 1'000'000;
inline constexpr std::uint64_t kMaxProbesPerLevel = 4096;

enum class PhiCoordinate : std::uint8_t { I, J };

inline const char* debug_name(PhiCoordinate c) noexcept { return c == PhiCoordinate::I ? "I" : "J"; }

struct PhiError {
    enum class Kind : std::uint8_t { ZeroCoordinate, Overflow };
    Kind kind;
    PhiCoordinate coordinate;  // meaningful for ZeroCoordinate only

    static constexpr PhiError zero(PhiCoordinate c) noexcept { return {Kind::ZeroCoordinate, c}; }
    static constexpr PhiError overflow() noexcept { return {Kind::Overflow, PhiCoordinate::I}; }

    friend constexpr bool operator==(const PhiError& a, const PhiError& b) noexcept {
        return a.kind == b.kind && (a.kind == Kind::Overflow || a.coordinate == b.coordinate);
    }

    std::string debug() const {
        if (kind == Kind::Overflow) return "Overflow";
        return std::string("ZeroCoordinate { coordinate: ") + debug_name(coordinate) + " }";
    }
};

constexpr unsigned bit_length128(u128 x) noexcept {
    const auto hi = static_cast<std::uint64_t>(x >> 64);
    if (hi != 0) return 64 + static_cast<unsigned>(std::bit_width(hi));
    return static_cast<unsigned>(std::bit_width(static_cast<std::uint64_t>(x)));
}

// phi(i, j) = enc(j) * 2^(bitlen(i) + 1) + i, or an error when a coordinate
// is 0 or the code needs more than 128 bits.
constexpr std::expected<u128, PhiError> elastic_phi(u128 i, u128 j) noexcept {
    if (i == 0) return std::unexpected(PhiError::zero(PhiCoordinate::I));
    if (j == 0) return std::unexpected(PhiError::zero(PhiCoordinate::J));
    const unsigned jbits = bit_length128(j);
    const unsigned ibits = bit_length128(i);
    // The code's leading bit is the first "1" of enc(j); its length is
    // 2 * jbits + 1 + ibits.
    if (2u * jbits + 1u + ibits > 128u) return std::unexpected(PhiError::overflow());
    u128 enc = 0;
    for (unsigned b = jbits; b-- > 0;) {
        enc = (enc << 2) | 2u | static_cast<unsigned>((j >> b) & 1u);
    }
    return (enc << (ibits + 1)) | i;
}

// phi for a level i below 2^16 and a probe number j from 1 to 2^16 - 1,
// without a loop: enc(j) is j's bits spread to the even positions with a 1 in
// every odd position above them (at most 33 + 17 bits, so it never
// overflows). Lookups and placements compute it once per probe.
constexpr std::uint64_t elastic_phi_small(std::uint64_t i, std::uint64_t j) noexcept {
    std::uint64_t x = j;
    x = (x | (x << 8)) & 0x00FF00FFULL;
    x = (x | (x << 4)) & 0x0F0F0F0FULL;
    x = (x | (x << 2)) & 0x33333333ULL;
    x = (x | (x << 1)) & 0x55555555ULL;
    const unsigned jbits = static_cast<unsigned>(std::bit_width(j));
    const std::uint64_t ones = 0xAAAAAAAAULL & ((std::uint64_t{1} << (2 * jbits)) - 1);
    return ((x | ones) << (std::bit_width(i) + 1)) | i;
}

// enc(j) for every probe number a schedule can hold (a route's probe t is at
// most 383, so j = t + 1 <= 384), so that a walk stepping through one
// level's probes gets each code from a load, a shift and an or. One entry
// more (0) lets a walk read the code after a level's last route before it
// discards it.
inline constexpr std::uint32_t kScheduledProbeNumbers = 384;
inline constexpr auto kProbeNumberCodes = [] {
    std::array<std::uint32_t, kScheduledProbeNumbers + 2> codes{};
    for (std::uint64_t j = 1; j <= kScheduledProbeNumbers; ++j) {
        codes[j] = static_cast<std::uint32_t>(elastic_phi_small(1, j) >> 2);  // phi(1, j) = enc(j) . 0 . 1
    }
    return codes;
}();

// phi(i, j) for a level i from 1 to 32 and a probe number j a schedule holds.
constexpr std::uint32_t elastic_phi_scheduled(std::uint32_t i, std::uint32_t j) noexcept {
    return (kProbeNumberCodes[j] << (std::bit_width(i) + 1)) | i;
}

// phi computed in 64 bits, as placement needs it: none when the code is
// longer than 63 bits (too large for any cap) or a coordinate is 0.
constexpr std::optional<std::uint64_t> elastic_phi64(std::uint64_t i, std::uint64_t j) noexcept {
    auto code = elastic_phi(i, j);
    if (!code || (*code >> 63) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(*code);
}

// Largest probe number j (1-based, at most kMaxProbesPerLevel) with
// phi(i, j) <= kPhiCap; 0 when even j = 1 is beyond the cap.
constexpr std::uint64_t elastic_max_probe(std::uint64_t i) noexcept {
    std::uint64_t best = 0;
    for (std::uint64_t j = 1; j <= kMaxProbesPerLevel; ++j) {
        auto code = elastic_phi(i, j);
        if (!code || *code > kPhiCap) break;
        best = j;
    }
    return best;
}

// R(L): the routes a schedule over L levels can ever hold, that is the pairs
// (i, j) with i <= L, j <= 4096 and phi(i, j) <= kPhiCap, less the primary
// pair (1, 1), which lookups check before the schedule.
constexpr std::size_t elastic_route_capacity_counted(std::size_t levels) noexcept {
    std::size_t total = 0;
    for (std::size_t i = 1; i <= levels; ++i) total += elastic_max_probe(i);
    return total == 0 ? 0 : total - 1;
}

// R(L) for every level count a table can have (at most 32 levels), computed
// by the compiler: every build and rebuild asks for it, and counting it costs
// thousands of phi codes, more than building a small table otherwise does.
inline constexpr std::size_t kRouteCapacityLevels = 32;
inline constexpr auto kRouteCapacities = [] {
    std::array<std::size_t, kRouteCapacityLevels + 1> table{};
    for (std::size_t levels = 0; levels <= kRouteCapacityLevels; ++levels) {
        table[levels] = elastic_route_capacity_counted(levels);
    }
    return table;
}();

constexpr std::size_t elastic_route_capacity(std::size_t levels) noexcept {
    if (levels <= kRouteCapacityLevels) return kRouteCapacities[levels];
    return elastic_route_capacity_counted(levels);
}

// Every (level, probe) pair a schedule can hold (level i from 1 to 32,
// probe number j from 1 to elastic_max_probe(i); the whole of R(32) and the
// primary pair) by its place in phi order. Pair (i, j) sits at index
// first[i - 1] + j - 1, where rank holds the number of pairs with a smaller
// phi; one more index per level, past its last pair, holds kNoPhiRank, as
// no schedule reaches there. sorted[r] is the code of the pair of rank r.
// Walks that merge a few levels order their next probes by rank, which
// orders pairs exactly as phi does, with one load per probe instead of
// computing codes.
inline constexpr std::size_t kPhiPairs = 4256;
inline constexpr std::uint16_t kNoPhiRank = 0xFFFF;
struct PhiOrder {
    std::array<std::uint32_t, 33> first{};
    std::array<std::uint16_t, kPhiPairs + 32> rank{};
    std::array<std::uint32_t, kPhiPairs> sorted{};
};
inline constexpr PhiOrder kPhiOrder = [] {
    struct Pair {
        std::uint32_t phi;
        std::uint32_t index;
    };
    PhiOrder order;
    std::array<Pair, kPhiPairs> pairs{};
    std::size_t n = 0;
    std::uint32_t index = 0;
    for (std::uint32_t i = 1; i <= 32; ++i) {
        order.first[i - 1] = index;
        for (std::uint64_t j = 1; j <= elastic_max_probe(i); ++j) {
            pairs[n++] = {static_cast<std::uint32_t>(elastic_phi_small(i, j)), index++};
        }
        order.rank[index++] = kNoPhiRank;
    }
    order.first[32] = index;
    std::sort(pairs.begin(), pairs.end(), [](const Pair& a, const Pair& b) { return a.phi < b.phi; });
    for (std::size_t r = 0; r < pairs.size(); ++r) {
        order.rank[pairs[r].index] = static_cast<std::uint16_t>(r);
        order.sorted[r] = pairs[r].phi;
    }
    return order;
}();
static_assert(kPhiPairs == elastic_route_capacity(32) + 1 && kPhiOrder.first[32] == kPhiOrder.rank.size());

// How many pairs of kPhiOrder have a code of at most `bound`: a pair a
// schedule of this bound holds has a smaller rank, any other a larger one.
constexpr std::uint16_t elastic_phi_rank_limit(std::uint64_t bound) noexcept {
    return static_cast<std::uint16_t>(
        std::upper_bound(kPhiOrder.sorted.begin(), kPhiOrder.sorted.end(), bound) - kPhiOrder.sorted.begin());
}

}  // namespace tavoric::elastic
