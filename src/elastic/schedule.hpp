// The probe schedule of an Elastic table.
//
// Every key sits at some probe (level l, probe t) of its own probe sequences,
// and placement only ever uses pairs whose code phi(l + 1, t + 1) is at most
// the schedule bound. The schedule lists exactly those pairs (bar the primary
// pair (0, 0), which lookups check first), sorted by phi, so a lookup walks
// shallow probes of every level before deep ones and stops at the end of the
// list instead of probing thousands of positions.
//
// Within one level the routes are consecutive probes (t from 0, from 1 on
// level 0), each extension adding the next ones, so the schedule also keeps
// how many routes each level has: a lookup that may only find its key on a
// few levels merges those levels' probes in phi order (the same order the
// list gives) instead of stepping over every route of the other levels.
//
// The schedule grows only when a placement needs a larger phi than any before
// it, and its capacity is reserved once per shape (R(L) routes), so growing it
// never allocates. Once sorted, a route keeps its level's length instead of
// its phi: that is what the lookup needs to turn the selector into a slot.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <memory>

#include "common/arena/aligned_block.hpp"
#include "common/error/panic.hpp"
#include "common/error/try_errors.hpp"
#include "elastic/phi.hpp"
#include "elastic/probe.hpp"

namespace tavoric::elastic {

using common::error::TryReserveError;

struct PhiRoute {
    std::uint32_t key;  // phi while being added, then the level's length
    std::uint32_t selector;
};
static_assert(sizeof(PhiRoute) == 8);

inline constexpr std::uint32_t kExceptionalFlag = 0x8000'0000u;
inline constexpr std::uint32_t kBoundMask = 0x7FFF'FFFFu;

class ProbeSchedule {
public:
    ProbeSchedule() noexcept = default;
    ProbeSchedule(ProbeSchedule&&) noexcept = default;
    ProbeSchedule& operator=(ProbeSchedule&&) noexcept = default;

    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    const PhiRoute* begin() const noexcept { return routes_.get(); }
    const PhiRoute* end() const noexcept { return routes_.get() + size_; }
    const PhiRoute& operator[](std::size_t i) const noexcept { return routes_[i]; }

    std::uint32_t bound() const noexcept { return bound_ & kBoundMask; }
    bool exceptional() const noexcept { return (bound_ & kExceptionalFlag) != 0; }
    void mark_exceptional() noexcept { bound_ |= kExceptionalFlag; }

    // The pairs of kPhiOrder with a rank below this are exactly those of
    // phi at most the bound: a level's routes end at its first probe whose
    // rank reaches it, so walks need no per-level count.
    std::uint16_t rank_limit() const noexcept { return rank_limit_; }

    // Empties the schedule and clears bound and flag; the capacity stays.
    void reset() noexcept {
        size_ = 0;
        bound_ = 0;
        rank_limit_ = 0;
        level_routes_.fill(0);
    }


    // Routes of level l: its probes first_probe(l) .. first_probe(l) + count - 1.
    static constexpr std::uint32_t kTrackedLevels = 32;
    std::uint32_t level_routes(std::uint32_t level) const noexcept { return level_routes_[level]; }
    static constexpr std::uint32_t first_probe(std::uint32_t level) noexcept { return level == 0 ? 1 : 0; }

    // Makes the capacity at least `routes` (exactly `routes` when it grows).
    std::expected<void, TryReserveError> try_reserve(std::size_t routes) noexcept {
        if (routes <= capacity_) return {};
        auto fresh = common::arena::try_allocate_array<PhiRoute>(routes);
        if (!fresh) return std::unexpected(fresh.error());
        if (size_ != 0) std::memcpy(fresh->get(), routes_.get(), size_ * sizeof(PhiRoute));
        routes_ = std::move(*fresh);
        capacity_ = routes;
        return {};
    }

    // Extends the schedule to every pair of these levels with phi <= needed.
    // `lengths(l)` gives the length of level l.
    template <class LengthOf>
    void extend(std::uint64_t needed, std::size_t level_count, LengthOf&& lengths) {
        common::error::check(needed <= kPhiCap, "Elastic query-position convention exhausted");
        const std::uint32_t b = bound();
        if (needed <= b) return;
        const std::size_t first_new = size_;
        for (std::size_t level = 0; level < level_count; ++level) {
            common::error::check(level < 32, "Elastic query tuple fits the production counter");
            const u128 i = level + 1;
            // Smallest j in [1, 4097) whose code lies beyond the old bound.
            std::uint64_t lo = 1, hi = kMaxProbesPerLevel + 1;
            while (lo < hi) {
                const std::uint64_t mid = lo + (hi - lo) / 2;
                if (phi_of(i, mid) > b) {
                    hi = mid;
                } else {
                    lo = mid + 1;
                }
            }
            for (std::uint64_t j = lo; j <= kMaxProbesPerLevel; ++j) {
                const u128 code = phi_of(i, j);
                if (code > needed) break;
                if (level == 0 && j == 1) continue;
                const std::uint64_t t = j - 1;
                common::error::check(t <= 383, "Elastic query-probe convention exhausted");
                common::error::check(size_ < capacity_, "Elastic schedule capacity covers its routes");
                routes_[size_++] = PhiRoute{static_cast<std::uint32_t>(code),
                                            elastic_selector(static_cast<std::uint32_t>(level),
                                                             static_cast<std::uint32_t>(t))};
            }
        }
        PhiRoute* added = routes_.get() + first_new;
        std::sort(added, routes_.get() + size_, [](const PhiRoute& a, const PhiRoute& c) { return a.key < c.key; });
        for (PhiRoute* r = added; r != routes_.get() + size_; ++r) {
            const std::uint32_t level = elastic_selector_level(r->selector);
            r->key = static_cast<std::uint32_t>(lengths(level));
            const std::uint32_t t = (r->selector & 0xFFFFu) >> 3;
            common::error::check(level < kTrackedLevels && t == first_probe(level) + level_routes_[level],
                                 "Elastic schedule adds each level's next probes");
            ++level_routes_[level];
        }
        bound_ = (bound_ & kExceptionalFlag) | static_cast<std::uint32_t>(needed);
        rank_limit_ = elastic_phi_rank_limit(needed);
    }

private:
    static u128 phi_of(u128 i, std::uint64_t j) {
        // Every pair a schedule holds is in the loop-free range (levels below
        // 32, probes up to 4096); extensions compute thousands of codes.
        if (i >= 1 && i <= 32 && j >= 1 && j <= kMaxProbesPerLevel) {
            return elastic_phi_small(static_cast<std::uint64_t>(i), j);
        }
        auto code = elastic_phi(i, j);
        if (!code) common::error::panic("bounded Elastic query coordinate");
        return *code;
    }

    std::unique_ptr<PhiRoute[]> routes_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::uint32_t bound_ = 0;
    std::array<std::uint16_t, kTrackedLevels> level_routes_{};
    std::uint16_t rank_limit_ = 0;  // in what was padding after level_routes_
};

// An empty schedule with room for every route of `levels` levels.
inline std::expected<ProbeSchedule, TryReserveError> try_probe_schedule(std::size_t levels) noexcept {
    ProbeSchedule schedule;
    auto reserved = schedule.try_reserve(elastic_route_capacity(levels));
    if (!reserved) return std::unexpected(reserved.error());
    return schedule;
}

}  // namespace tavoric::elastic
