// Geometry, sizing and block layout of a Funnel table.
//
// FunnelShape turns a plan into slot ranges: level i occupies
// [start_i, start_i + c_i·β), the levels are contiguous from slot 0, then
// come the uniform part (⌈S/2⌉ slots) and the two-choice part (⌊S/2⌋ / w
// buckets of width w). Every range keeps the threshold 2^64 mod its size, so
// probing never divides.
//
// Admissible slot counts are sparse, and for large k the first one lies
// about 26.67·2^k past the search start. smallest_admissible_slots therefore
// jumps: an accepted special array S satisfies Smin ≤ S ≤ ⌊3n/2^(k+2)⌋ and
// S ∈ {4λm, 4λm + 1} for some m ≥ 1, so while λ is unchanged every n below
// the first n with ⌊3n/2^(k+2)⌋ ≥ 4λm (m the smallest multiple count that can
// still hold Smin) has no geometry and can be skipped. Smin never decreases as
// n grows, so the jump never passes an admissible count; it stops at each
// change of λ. The result is exactly the smallest admissible n at or above
// the start, found in a few dozen geometry attempts for every exponent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <memory>
#include <optional>

#include "common/arena/aligned_block.hpp"
#include "common/arena/block_layout.hpp"
#include "common/arena/control.hpp"
#include "common/error/try_errors.hpp"
#include "funnel/geometry.hpp"
#include "common/arena/reserve.hpp"
#include "common/hash/bounded_reduction.hpp"

namespace tavoric::funnel {

using common::error::TryReserveError;

// The size search stops here on every platform, so sizes, growth and
// failures do not depend on the machine word.
inline constexpr std::size_t kLastSlotCount = 0xFFFFFFFFu;
// Growth refuses live counts above this.
inline constexpr std::size_t kMaxGrowthEntries = 0x7FFFFFFEu;

// Tombstones above this trigger a same-size rebuild:
// max(min(32 + ⌊n/2⌋, ⌊3n/4⌋), ⌊n/2⌋), with 3n saturating.
constexpr std::size_t purge_threshold(std::size_t n) noexcept {
    const std::size_t three_n = n > std::numeric_limits<std::size_t>::max() / 3 ? std::numeric_limits<std::size_t>::max()
                                                                                 : 3 * n;
    return std::max(std::min(32 + n / 2, three_n / 4), n / 2);
}

struct LevelShape {
    std::uint64_t threshold = 0;    // 2^64 mod bucket_count
    std::size_t bucket_count = 0;   // c_i ≥ 1
    std::uint64_t selector = 0;     // i << 16
    std::size_t start = 0;          // first slot of the level
};

struct FunnelShape {
    std::unique_ptr<LevelShape[]> levels;
    std::size_t level_count = 0;
    std::uint64_t uniform_threshold = 0;
    std::size_t uniform_size = 0;
    std::uint64_t two_choice_threshold = 0;
    std::size_t two_choice_buckets = 0;
    std::size_t slots = 0;
    std::size_t insert_budget = 0;
    std::size_t bucket_width = 0;
    // The bytes of a bucket's last sixteen-byte control group that belong
    // to the bucket, as a group mask: every lookup of a narrow bucket needs
    // it, so it is worked out once per shape.
    common::arena::WideGroup::Mask bucket_tail_mask = 0;
    std::size_t uniform_probes = 0;
    std::size_t uniform_start = 0;
    std::size_t two_choice_start = 0;
    std::size_t two_choice_width = 0;
    // purge_threshold(slots): every removal tests its tombstone count
    // against it, so it is worked out once per shape too.
    std::size_t purge_limit = 0;

    // The geometry of n slots. CapacityOverflow means n has no Funnel
    // layout; AllocError that the level array could not be allocated.
    static std::expected<FunnelShape, TryReserveError> from_slots(std::size_t n, std::uint32_t k) noexcept {
        using common::hash::reduction_threshold;
        FunnelShape shape;
        if (n == 0) return shape;
        if (n == 1 || k == 0) return std::unexpected(TryReserveError::capacity_overflow());
        auto plan = funnel::funnel_plan(n, k);
        if (!plan) return std::unexpected(TryReserveError::capacity_overflow());

        auto levels = common::arena::try_allocate_array<LevelShape>(plan->alpha);
        if (!levels) return std::unexpected(levels.error());
        shape.levels = std::move(*levels);
        shape.level_count = plan->alpha;

        funnel::FunnelBucketCounts counts(plan->first_level, (n - plan->special) / plan->beta,
                                                          plan->alpha);
        std::size_t used = 0;
        for (std::size_t i = 0; i < plan->alpha; ++i) {
            auto c = counts.next();
            if (!c || *c == 0) return std::unexpected(TryReserveError::capacity_overflow());
            shape.levels[i] = LevelShape{reduction_threshold(*c), *c, static_cast<std::uint64_t>(i) << 16, used};
            if (*c > (std::numeric_limits<std::size_t>::max() - used) / plan->beta) {
                return std::unexpected(TryReserveError::capacity_overflow());
            }
            used += *c * plan->beta;
        }

        const std::size_t s = plan->special;
        shape.uniform_size = (s + 1) / 2;
        if (shape.uniform_size == 0) return std::unexpected(TryReserveError::capacity_overflow());
        shape.uniform_start = used;
        shape.uniform_threshold = reduction_threshold(shape.uniform_size);
        shape.two_choice_start = used + shape.uniform_size;
        if (shape.two_choice_start < used || shape.two_choice_start + s / 2 != n) {
            return std::unexpected(TryReserveError::capacity_overflow());
        }
        if (plan->lambda > 255 || plan->w > s / 2) return std::unexpected(TryReserveError::capacity_overflow());
        shape.two_choice_width = plan->w;
        shape.two_choice_buckets = (s / 2) / plan->w;
        shape.two_choice_threshold = reduction_threshold(shape.two_choice_buckets);
        shape.slots = n;
        shape.bucket_width = plan->beta;
        constexpr std::size_t kWidth = common::arena::kWideGroupWidth;
        shape.bucket_tail_mask = (common::arena::WideGroup::Mask{1} << ((plan->beta - 1) % kWidth + 1)) - 1;
        shape.uniform_probes = plan->lambda;
        shape.insert_budget = common::arena::insert_budget_for(n, k);
        shape.purge_limit = purge_threshold(n);
        return shape;
    }
};

// Whether n slots have a Funnel geometry for exponent k (no allocation).
inline bool funnel_admissible(std::size_t n, std::uint32_t k) noexcept {
    return n >= 2 && funnel::funnel_plan(n, k).has_value();
}

// The smallest n with n − ⌊n/2^k⌋ ≥ b, for b ≥ 1 and 3 ≤ k ≤ 31; nothing on
// overflow.
inline std::optional<std::size_t> minimal_slots_for_budget(std::size_t b, std::uint32_t k) noexcept {
    const std::size_t extra = (b - 1) / ((std::size_t{1} << k) - 1);
    if (b > std::numeric_limits<std::size_t>::max() - extra) return std::nullopt;
    return b + extra;
}

// Counts geometry attempts of the last size search on this thread (for the
// tests and the benchmark that show the search stays short).
inline std::size_t& size_search_attempts() noexcept {
    thread_local std::size_t attempts = 0;
    return attempts;
}

// The smallest admissible slot count at or above max(αβ + 2, n0) whose insert
// budget reaches `target` (≥ 1), or nothing when none exists up to
// kLastSlotCount. Requires 3 ≤ k ≤ 31.
inline std::optional<std::size_t> smallest_admissible_slots(std::size_t target, std::uint32_t k) noexcept {
    using u128 = unsigned __int128;
    size_search_attempts() = 0;
    auto n0 = minimal_slots_for_budget(target, k);
    if (!n0) return std::nullopt;
    const std::size_t alpha = 4 * std::size_t{k} + 10, beta = 2 * std::size_t{k};
    std::size_t n = std::max(alpha * beta + 2, *n0);
    while (n <= kLastSlotCount) {
        const std::size_t lam = funnel::funnel_lambda(n);
        const std::size_t w2 = 4 * lam;
        const std::size_t smin = std::max(funnel::funnel_half(n, k), w2);
        const std::size_t m = std::max<std::size_t>(1, (smin - 1 + w2 - 1) / w2);
        const u128 scaled = static_cast<u128>(w2) * m << (k + 2);
        const u128 need = (scaled + 2) / 3;
        if (static_cast<u128>(n) < need) {
            // Never jump past a change of λ: it changes the bounds.
            const u128 next_lambda = lam >= 6 ? ~u128{0} : (u128{1} << (std::size_t{1} << lam)) + 1;
            const u128 jump = need < next_lambda ? need : next_lambda;
            if (jump > kLastSlotCount) return std::nullopt;
            n = static_cast<std::size_t>(jump);
            continue;
        }
        ++size_search_attempts();
        if (funnel_admissible(n, k)) return n;
        ++n;
    }
    return std::nullopt;
}

// The slot count of the next size: the insert budget at least doubles and
// reaches `required`. Nothing when the live count is beyond the growth limit,
// k is outside 3..31 or no admissible size exists.
inline std::optional<std::size_t> next_growth_slots(std::size_t budget, std::uint32_t k, std::size_t required) noexcept {
    if (required > kMaxGrowthEntries) return std::nullopt;
    const std::size_t doubled = budget >= (std::size_t{1} << 31) ? std::numeric_limits<std::size_t>::max() : 2 * budget;
    const std::size_t target = std::max(required, doubled);
    if (target == 0) return std::size_t{0};
    if (k < kMinReserveExponent || k > common::arena::kLargestReserveExponent) return std::nullopt;
    return smallest_admissible_slots(target, k);
}

// The block of n slots: n + 15 control bytes (fifteen trailing zeros make a
// 16-byte group read safe at every slot index), the slots, then one 64-bit
// membership filter word per ten slots.
inline std::expected<common::arena::BlockLayout, TryReserveError> funnel_layout(std::size_t n, std::size_t entry_size,
                                                                               std::size_t entry_align) noexcept {
    return common::arena::block_layout(n, common::arena::kWideGroupPadding, entry_size, entry_align,
                                       sizeof(std::uint64_t));
}

}  // namespace tavoric::funnel
