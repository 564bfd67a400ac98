// ElasticTable<K, V>: open addressing without reordering, after Elastic
// hashing.
//
// Shape. S slots (0 or a power of two from 8 to 2^31) are split into levels of
// halving length, all in one arena (layout.hpp). The table takes u(S) =
// S - floor(S / 2^k) entries before it doubles.
//
// Placement. Keys arrive in batches (geometry quotas). Batch 0 probes level 0
// uniformly. Batch b >= 1 works on the current level C = b - 1 and the next
// level X = b: when C is nearly full (at most delta/2 free) the key goes to X;
// when X is already three quarters full it goes to C; otherwise C gets a small
// probe budget that grows with the square of log(how full C is), and X takes
// the key if that budget runs out. A key never moves after placement until the
// next rebuild.
//
// Lookup. Each key's probes are ordered by the injection phi; the table keeps
// the sorted list of every (level, probe) pair whose phi is at most the
// largest phi any placement has used (schedule.hpp). A lookup checks the
// primary slot, then the key's membership group (a bloom word plus per-level
// lane bits, one group per ten slots), then walks the schedule, probing only
// levels that hold entries at all (a per-table word, kept exact on every
// store, removal, rebuild and clear) and that the lane says may hold the key.
// When at most four levels remain, their probes are merged in phi order
// directly, without stepping over the other levels' routes.
//
// A walk drops a level at the first empty slot (not a tombstone) among the
// key's probes there. Placement on a level takes the first probe that is not
// live, so every probe before a key's own on its level was live when the key
// arrived; removal leaves tombstones, and slots become empty again only in a
// rebuild or clear, which place every entry again by the same rules. No key
// of this hash lies past an empty probe of its level, so a miss ends once
// every level has shown one. An exceptional placement ignores probe order:
// until the next rebuild or clear no level is dropped, and the walks are
// exactly those without the shortcut.
//
// Distinct placement. insert_distinct(key, value, hash) is for callers that
// know no stored key equals the new one (a copy of another table): it
// grows and places exactly as insert() would for an absent key, same slot,
// same batch bookkeeping, but never searches, so no key is compared.
//
// Exceptional placement. A key for which the batch rules find no usable probe
// (not even after a same-size rebuild) goes to the first vacant slot in table
// order; the table then remembers that lookups which miss the schedule must
// end in a full scan, until the next rebuild or clear.
//
// Removal leaves a tombstone; a level holding more than theta(n) of them makes
// the table rebuild at the same size. Allocation failures are values: a
// refused growth leaves the table exactly as it was; a refused same-size
// rebuild is simply skipped (placement then falls back to the exceptional
// slot, removal keeps its tombstones until the next chance).
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#include "common/arena/aligned_block.hpp"
#include "common/arena/arena_slots.hpp"
#include "common/arena/control.hpp"
#include "common/arena/find_or_insert.hpp"
#include "common/arena/slot_entry.hpp"
#include "common/error/panic.hpp"
#include "common/error/try_errors.hpp"
#include "elastic/geometry.hpp"
#include "common/hash/bounded_reduction.hpp"
#include "elastic/phi.hpp"
#include "elastic/probe.hpp"
#include "common/iter/cursor.hpp"
#include "elastic/layout.hpp"
#include "elastic/schedule.hpp"
#include "common/hash/table_hash.hpp"

namespace tavoric::elastic {

using common::error::TryBuildError;

// Where an entry lives: level and slot within the level.
struct ElasticLocation {
    std::size_t level;
    std::size_t slot;
    friend constexpr bool operator==(ElasticLocation, ElasticLocation) noexcept = default;
};

// A slot the batch rules chose for a new key.
struct PlacementChoice {
    std::size_t level;
    std::size_t slot;
    std::uint32_t probe;  // a = t + 1
    std::uint64_t phi;    // phi(level + 1, probe)
};

inline constexpr std::size_t kUniformProbes = 4096;
inline constexpr std::uint32_t kMaxProbeNumber = 65535;
inline constexpr std::size_t kMaxLaneLevels = 16;

// Probes per level whose phi stays within the cap (383 for level 0, ...).
inline constexpr auto kUsableProbes = [] {
    std::array<std::size_t, 32> usable{};
    for (std::size_t level = 0; level < usable.size(); ++level) {
        const std::uint64_t j = elastic_max_probe(level + 1);
        usable[level] = j < kUniformProbes ? j : kUniformProbes;
    }
    return usable;
}();

template <class K, class V>
class ElasticTable {
public:
    using key_type = K;
    using value_type = V;
    using entry_type = common::arena::SlotEntry<K, V>;
    using location_type = ElasticLocation;
    using cursor_type = common::iter::Cursor<entry_type>;

    // ---- construction ------------------------------------------------------

    // A table taking at least `capacity` entries before it grows. Fails with
    // the capacity-overflow error when no table of at most 2^31 slots does,
    // with the error of a refused allocation, and for k = 0 (no reserve) as
    // a Funnel table does for k below 3.
    static std::expected<ElasticTable, TryBuildError> try_with_capacity_and_reserve_and_hasher_in(
        std::size_t capacity, std::uint32_t k, common::hash::HashSeeds seeds) {
        if (k < kMinReserveExponent) return std::unexpected(TryBuildError::exponent_below_minimum(k, kMinReserveExponent));
        auto geometry = ElasticGeometry::for_insert_budget(capacity, k);
        if (!geometry) return std::unexpected(TryBuildError::capacity_overflow());
        auto schedule = try_probe_schedule(geometry->level_lengths.size());
        if (!schedule) return std::unexpected(TryBuildError::from(schedule.error()));
        auto arena = try_alloc_elastic_arena<entry_type>(geometry->level_lengths);
        if (!arena) return std::unexpected(TryBuildError::from(arena.error()));
        ElasticTable table(seeds, k);
        table.schedule_ = std::move(*schedule);
        table.install(*geometry, std::move(*arena));
        return table;
    }

    ElasticTable(ElasticTable&& other) noexcept
        : seeds_(other.seeds_),
          arena_(std::exchange(other.arena_, {})),
          len_(std::exchange(other.len_, 0)),
          slots_(std::exchange(other.slots_, 0)),
          insert_limit_(std::exchange(other.insert_limit_, 0)),
          k_(other.k_),
          live_levels_(std::exchange(other.live_levels_, 0)),
          quotas_(std::exchange(other.quotas_, {})),
          batch_index_(std::exchange(other.batch_index_, 0)),
          batch_remaining_(std::exchange(other.batch_remaining_, 0)),
          schedule_(std::exchange(other.schedule_, {})) {}

    ElasticTable& operator=(ElasticTable&& other) noexcept {
        if (this != &other) {
            drop_storage();
            seeds_ = other.seeds_;
            arena_ = std::exchange(other.arena_, {});
            len_ = std::exchange(other.len_, 0);
            slots_ = std::exchange(other.slots_, 0);
            insert_limit_ = std::exchange(other.insert_limit_, 0);
            k_ = other.k_;
            quotas_ = std::exchange(other.quotas_, {});
            batch_index_ = std::exchange(other.batch_index_, 0);
            batch_remaining_ = std::exchange(other.batch_remaining_, 0);
            schedule_ = std::exchange(other.schedule_, {});
            live_levels_ = std::exchange(other.live_levels_, 0);
        }
        return *this;
    }

    ElasticTable(const ElasticTable&) = delete;
    ElasticTable& operator=(const ElasticTable&) = delete;

    ~ElasticTable() { drop_storage(); }

    // ---- observers ---------------------------------------------------------

    std::size_t len() const noexcept { return len_; }
    std::size_t capacity() const noexcept { return insert_limit_; }
    std::uint32_t reserve_exponent() const noexcept { return k_; }
    // Bytes of storage the table owns outside its own object: the arena
    // block, the level array and the probe schedule's reserved routes.
    std::size_t heap_bytes() const noexcept {
        return arena_.block.size() + arena_.levels.count * sizeof(arena_.levels[0]) +
               schedule_.capacity() * sizeof(PhiRoute);
    }
    common::hash::HashSeeds seeds() const noexcept { return seeds_; }

    // The table's inside, read-only, for tests and benchmarks; no container
    // uses it.
    class Inspect {
    public:
        explicit Inspect(const ElasticTable& table) noexcept : t_(table) {}
        std::size_t slots() const noexcept { return t_.slots_; }
        std::size_t level_count() const noexcept { return t_.level_count(); }
        const Level<entry_type>& level(std::size_t i) const {
            common::error::check(i < level_count(), "Elastic level index in bounds");
            return t_.arena_.levels[i];
        }
        const LevelWords& batch_quotas() const noexcept { return t_.quotas_; }
        std::size_t batch_index() const noexcept { return t_.batch_index_; }
        std::size_t batch_remaining() const noexcept { return t_.batch_remaining_; }
        const ProbeSchedule& schedule() const noexcept { return t_.schedule_; }
        std::size_t membership_groups() const noexcept { return t_.arena_.layout.records; }
        const MembershipGroup* membership() const noexcept { return t_.arena_.groups(); }
        const common::arena::BlockLayout& layout() const noexcept { return t_.arena_.layout; }
        const std::byte* arena_base() const noexcept { return t_.arena_.block.base(); }

    private:
        const ElasticTable& t_;
    };
    Inspect inspect() const noexcept { return Inspect(*this); }

    entry_type& entry_at(ElasticLocation loc) { return checked_level(loc)->entries[loc.slot]; }
    const entry_type& entry_at(ElasticLocation loc) const { return checked_level(loc)->entries[loc.slot]; }

    // ---- lookup ------------------------------------------------------------

    template <class Q = K>
    std::optional<ElasticLocation> find(const Q& probe, std::uint64_t hash) const {
        return find_by_exact_schedule(probe, elastic_prepare(hash));
    }

    // The primary slot first, inline; everything past it (membership
    // group, schedule walks) out of line, so that the many lookups ending at
    // the primary slot pay for nothing else.
    template <class Q = K>
    std::optional<ElasticLocation> find_by_exact_schedule(const Q& probe, const ElasticPreparedKey& p) const {
        if (len_ == 0) return std::nullopt;
        const Level<entry_type>& first = arena_.levels.levels[0];
        const std::size_t p0 = elastic_probe_slot_shifted(p.prepared, elastic_selector(0, 0), first.shift);
        const std::uint8_t primary = first.ctrl[p0];
        if (primary == p.fingerprint && probe.matches(first.entries[p0].key)) return ElasticLocation{0, p0};
        // Most absent keys stop at their membership group: in line too.
        const MembershipGroup& group = group_of(p.prepared);
        if ((group.bloom & p.membership) != p.membership) return std::nullopt;
        const ElasticLocation past = find_past_primary(probe, WalkKey{p.prepared, p.fingerprint}, primary, group);
        if (past == kNowhere) return std::nullopt;
        return past;
    }

    // ---- insertion ---------------------------------------------------------

    // Stores (key, value), or replaces the value of an equal stored key and
    // returns the old value; the key is taken only when it is stored, else
    // it stays with the caller.
    std::expected<std::optional<V>, TryReserveError> insert(K&& key, V value, std::uint64_t hash) {
        return common::arena::insert_or_replace(*this, std::move(key), std::move(value), hash);
    }

    // The location of a stored key equal to `probe`, or the location where
    // the entry make() returns is stored now
    // (common/arena/find_or_insert.hpp). Placement does not follow from the
    // search here: a key found absent is placed by the batch rules.
    template <class Q, class Make>
    std::expected<common::arena::FoundOrInserted<ElasticLocation>, TryReserveError> find_or_insert(const Q& probe,
                                                                                                  std::uint64_t hash,
                                                                                                  Make&& make) {
        const ElasticPreparedKey p = elastic_prepare(hash);
        if (auto found = find_by_exact_schedule(probe, p)) {
            return common::arena::FoundOrInserted<ElasticLocation>{*found, false};
        }
        auto placed = insert_for_vacant_entry_prepared(make, p);
        if (!placed) return std::unexpected(placed.error());
        return common::arena::FoundOrInserted<ElasticLocation>{*placed, true};
    }

    // Stores a key the caller guarantees is not in the table, exactly where
    // insert() would (same growth, same batch rules, same slot) but without
    // searching for it first, so no key is ever compared: the placement a
    // copy needs. On AllocError (a refused growth) nothing has changed and
    // key and value are released.
    std::expected<void, TryReserveError> insert_distinct(K key, V value, std::uint64_t hash) {
        auto placed = insert_for_vacant_entry_prepared(
            [&] { return entry_type(std::move(key), std::move(value)); }, elastic_prepare(hash));
        if (!placed) return std::unexpected(placed.error());
        return {};
    }

    // Stores the entry make() returns for a key the caller has just found
    // absent. On AllocError (a refused growth) nothing has changed and make()
    // has not run.
    template <class Make>
    std::expected<ElasticLocation, TryReserveError> insert_for_vacant_entry_prepared(Make&& make,
                                                                                    const ElasticPreparedKey& p) {
        if (len_ >= insert_limit_) {
            const std::size_t target = slots_ == 0 ? kElasticMinSlots : slots_ * 2;
            if (target > kElasticMaxSlots) common::error::panic("capacity overflow");
            auto grown = resize_with_transition(target);
            if (!grown) return std::unexpected(grown.error());
        }
        advance_batch();
        PlacementChoice choice = choose_slot(p.prepared, batch_index_);
        if (choice.probe == 0) {
            // A refused same-size rebuild only costs the key its scheduled
            // slot: it is then placed exceptionally below.
            if (resize_with_transition(slots_)) {
                advance_batch();
                choice = choose_slot(p.prepared, batch_index_);
            }
        }
        if (choice.probe != 0) return place_new_entry(make, p, choice);
        return place_exceptional_entry(make, p);
    }

    // The batch rules' slot for a new key in the current shape, or none.
    // `batch` is absent for batch 0 and b - 1 for batch b >= 1. Every insert
    // and every moved entry comes through here, so the choice travels as a
    // plain struct with probe 0 meaning "none" rather than through optionals.
    std::optional<PlacementChoice> choose_slot_for_new_key(std::uint64_t H,
                                                           std::optional<std::size_t> batch) const {
        const PlacementChoice choice = choose_slot(H, batch ? *batch + 1 : 0);
        if (choice.probe == 0) return std::nullopt;
        return choice;
    }

    // The same choice for batch index b (0 for the uniform batch 0); probe 0
    // when there is none.
    PlacementChoice choose_slot(std::uint64_t H, std::size_t b) const noexcept {
        const std::size_t levels = level_count();
        if (levels == 0) return kNoChoice;
        PlacementChoice result;
        if (b == 0) {
            result = uniform_vacancy(H, 0);
        } else {
            const std::size_t c = b - 1;
            const std::size_t x = b;
            if (x >= levels) return kNoChoice;
            const Level<entry_type>& cur = arena_.levels[c];
            const Level<entry_type>& next = arena_.levels[x];
            const std::size_t free_c = cur.len > cur.occupied ? cur.len - cur.occupied : 0;
            const std::size_t free_x = next.len > next.occupied ? next.len - next.occupied : 0;
            if (free_c <= elastic_reserve_share(cur.len, k_)) {
                result = uniform_vacancy(H, x);
            } else if (4 * free_x <= next.len) {
                result = uniform_vacancy(H, c);
            } else {
                const std::size_t q = cur.len / free_c + (cur.len % free_c != 0 ? 1 : 0);
                const std::size_t beta = q <= 1 ? 0 : static_cast<std::size_t>(std::bit_width(q - 1));
                const std::size_t budget = beta * beta < k_ ? beta * beta : k_;
                result = probe_vacancy(H, c, 8 * budget);
                if (result.probe == 0) result = uniform_vacancy(H, x);
            }
        }
        if (result.probe == 0 || result.probe > kMaxProbeNumber) return kNoChoice;
        // Probe numbers below 2^16 and at most 32 levels: the loop-free phi is
        // exact; probe numbers a schedule can hold read their code from the table.
        static_assert(kMaxProbeNumber < (1u << 16));
        const std::uint64_t phi =
            result.probe <= kScheduledProbeNumbers && result.level < ProbeSchedule::kTrackedLevels
                ? elastic_phi_scheduled(static_cast<std::uint32_t>(result.level + 1), result.probe)
                : elastic_phi_small(result.level + 1, result.probe);
        if (phi > kPhiCap) return kNoChoice;
        result.phi = phi;
        return result;
    }

    static constexpr PlacementChoice kNoChoice{0, 0, 0, 0};

    // First vacant slot among the first 4096 probes of a level, with its
    // probe number t + 1 (probe 0: none). A vacancy whose phi lies beyond the
    // cap is refused by the caller anyway, so the walk stops at the level's
    // last usable probe: same outcome, without thousands of useless probes.
    PlacementChoice uniform_vacancy(std::uint64_t H, std::size_t level) const noexcept {
        return probe_vacancy(H, level, level < kUsableProbes.size() ? kUsableProbes[level] : kUniformProbes);
    }

    // First vacant slot among the first `probes` probes of a level.
    PlacementChoice probe_vacancy(std::uint64_t H, std::size_t level, std::size_t probes) const noexcept {
        const Level<entry_type>& lv = arena_.levels[level];
        const std::uint8_t* ctrl = lv.ctrl;
        const unsigned shift = lv.shift;
        const auto selector = elastic_selector(static_cast<std::uint32_t>(level), 0);
        for (std::size_t t = 0; t < probes; ++t) {
            const std::size_t slot =
                elastic_probe_slot_shifted(H, selector + elastic_selector(0, static_cast<std::uint32_t>(t)), shift);
            if (!common::arena::is_live(ctrl[slot])) return PlacementChoice{level, slot, static_cast<std::uint32_t>(t + 1), 0};
        }
        return kNoChoice;
    }

    // ---- growth ------------------------------------------------------------

    std::expected<void, TryReserveError> reserve(std::size_t additional) {
        const std::size_t needed = additional > SIZE_MAX - len_ ? SIZE_MAX : len_ + additional;
        if (needed <= insert_limit_) return {};
        std::size_t target = std::max(slots_, kElasticMinSlots);
        while (common::arena::insert_budget_for(target, k_) < needed) {
            if (target >= kElasticMaxSlots) {
                return std::unexpected(TryReserveError::capacity_overflow());
            }
            target *= 2;
        }
        return resize_with_transition(target);
    }

    // Rebuilds into the shape of `new_slots` slots and places every entry
    // again from batch 0. Allocation comes first: on failure nothing changed.
    std::expected<void, TryReserveError> resize_with_transition(std::size_t new_slots) {
        if (common::arena::RebuildFaults::should_fail()) common::error::panic("injected rebuild failure");
        auto geometry = ElasticGeometry::for_slots(new_slots, k_);
        common::error::check(geometry.has_value(), "validated Elastic library geometry");
        auto reserved = schedule_.try_reserve(
            elastic_route_capacity(geometry->level_lengths.size()));
        if (!reserved) return std::unexpected(reserved.error());
        auto arena = try_alloc_elastic_arena<entry_type>(geometry->level_lengths);
        if (!arena) return std::unexpected(arena.error());

        ElasticArena<entry_type> old = std::exchange(arena_, std::move(*arena));
        common::arena::ArenaDropGuard<ElasticLevels<entry_type>> guard(std::move(old.block), std::move(old.levels));
        install_shape(*geometry);
        ElasticLevels<entry_type>& moving = *guard.storage();
        for (std::size_t i = 0; i < moving.count; ++i) {
            Level<entry_type>& level = moving[i];
            common::arena::ArenaSlots<entry_type>(level.ctrl, level.entries, level.len)
                .drain_values_and_clear([&](entry_type&& entry) {
                    --level.occupied;
                    place_moved(std::move(entry));
                });
            level.tombstones = 0;
        }
        return {};
    }

    // ---- removal -----------------------------------------------------------

    entry_type remove(ElasticLocation loc) {
        entry_type entry = take(loc);
        if (arena_.levels[loc.level].tombstones > arena_.levels[loc.level].tombstone_limit) {
            (void)resize_with_transition(slots_);  // refused memory: keep the tombstones for now
        }
        return entry;
    }

    entry_type remove_deferred(ElasticLocation loc) { return take(loc); }

    // Not noexcept: the rebuild checks its invariants, and a failure must
    // reach the caller as an exception like any other operation's.
    void finish_deferred_removals() {
        for (std::size_t i = 0; i < level_count(); ++i) {
            const Level<entry_type>& level = arena_.levels[i];
            if (level.tombstones > level.tombstone_limit) {
                (void)resize_with_transition(slots_);
                return;
            }
        }
    }

    // Releases every entry and tombstone; the shape, seeds and capacity stay.
    void clear() noexcept {
        for (std::size_t i = 0; i < level_count(); ++i) {
            Level<entry_type>& level = arena_.levels[i];
            common::arena::clear_slots(level.ctrl, level.len, [&](std::size_t slot) {
                // Counts first: a release may run arbitrary code.
                --len_;
                --level.occupied;
                std::destroy_at(&level.entries[slot]);
            });
            level.tombstones = 0;
        }
        live_levels_ = 0;
        reset_batches();
        schedule_.reset();
        if (MembershipGroup* groups = arena_.groups()) {
            std::memset(static_cast<void*>(groups), 0, arena_.layout.records * sizeof(MembershipGroup));
        }
    }

    // ---- iteration ---------------------------------------------------------

    bool scan_advance(cursor_type& cursor) const noexcept {
        const std::size_t next = cursor.regions_entered();
        if (next >= level_count()) return false;
        const Level<entry_type>& level = arena_.levels[next];
        cursor.enter_region(level.ctrl, level.len, level.entries);
        return true;
    }

    entry_type* scan_next(cursor_type& cursor) const {
        return cursor.next([this](cursor_type& c) { return scan_advance(c); });
    }

    ElasticLocation cursor_location(const cursor_type& cursor) const noexcept {
        return ElasticLocation{cursor.regions_entered() - 1, cursor.last_slot()};
    }

private:
    ElasticTable(common::hash::HashSeeds seeds, std::uint32_t k) noexcept : seeds_(seeds), k_(k) {}

    std::size_t level_count() const noexcept { return arena_.levels.count; }

    void install(const ElasticGeometry& geometry, ElasticArena<entry_type> arena) noexcept {
        arena_ = std::move(arena);
        install_shape(geometry);
    }

    // Resets everything that belongs to a shape; the arena is already in.
    void install_shape(const ElasticGeometry& geometry) noexcept {
        slots_ = geometry.slots;
        insert_limit_ = geometry.insert_limit;
        quotas_ = geometry.batch_quotas;
        len_ = 0;
        live_levels_ = 0;
        reset_batches();
        schedule_.reset();
    }

    void reset_batches() noexcept {
        batch_index_ = 0;
        batch_remaining_ = quotas_.empty() ? 0 : quotas_[0];
    }

    void advance_batch() noexcept {
        while (batch_remaining_ == 0 && batch_index_ + 1 < quotas_.size()) {
            ++batch_index_;
            batch_remaining_ = quotas_[batch_index_];
        }
    }

    // The membership group of a prepared hash, in a table that holds
    // entries: it has slots, so it has groups.
    const MembershipGroup& group_of(std::uint64_t H) const noexcept {
        return arena_.groups_of_slotted()[common::arena::MembershipBits::record_of(H, arena_.layout.records)];
    }

    void record_membership(std::uint64_t H, std::uint64_t M, std::size_t level) noexcept {
        MembershipGroup* groups = arena_.groups();
        if (groups == nullptr) return;
        MembershipGroup& group = groups[common::arena::MembershipBits::record_of(H, arena_.layout.records)];
        group.bloom |= M;
        if (level_count() <= kMaxLaneLevels) {
            group.lanes[H & 3] = static_cast<std::uint16_t>(group.lanes[H & 3] | (1u << (level % 16)));
        }
    }

    // What the walks past the primary slot read of a prepared key, passed in
    // two registers. The membership bits serve the group test alone: left
    // out, they are computed only by lookups that get past the primary slot.
    struct WalkKey {
        std::uint64_t prepared;
        std::uint8_t fingerprint;
    };

    // A lookup past the primary slot of a key whose membership bits are all
    // in its group (others cannot be stored): only levels that hold entries
    // can have it (narrowed by the key's lane where lanes are kept). A few
    // such levels are merged probe by probe; more are walked along the
    // schedule. Either way a level leaves the walk at its first empty probe
    // (`primary`, the control byte of the primary slot, is level 0's first).
    //
    // Out of line. Its result, like that of every walk below, is a location
    // or kNowhere: two words that stay in registers, where an optional
    // location is three, which the walks would write to memory and their
    // caller read back.
    static constexpr ElasticLocation kNowhere{~std::size_t{0}, 0};  // no level has this index
    template <class Q>
    [[gnu::noinline]] ElasticLocation find_past_primary(const Q& probe, WalkKey p, std::uint8_t primary,
                                                    const MembershipGroup& group) const {
        std::uint32_t level_set = live_levels_;
        if (level_count() <= kMaxLaneLevels) level_set &= group.lanes[p.prepared & 3];
        const std::uint8_t stop = stop_control();
        if (primary == stop) level_set &= ~std::uint32_t{1};
        // The set less its lowest level, less its two lowest, ...: up to four
        // levels get a merged walk of their own size, each head a variable of
        // its own rather than an element the walk indexes at every step.
        const std::uint32_t second = level_set & (level_set - 1), third = second & (second - 1),
                            fourth = third & (third - 1), fifth = fourth & (fourth - 1);
        static_assert(kMergedWalkLevels == 4);
        if (level_set == 0) return find_nowhere(probe, p);
        if (second == 0) return find_on_levels(probe, p, stop, std::array{walk_head(level_set)});
        if (third == 0) return find_on_levels(probe, p, stop, std::array{walk_head(level_set), walk_head(second)});
        if (fourth == 0) {
            return find_on_levels(probe, p, stop,
                                  std::array{walk_head(level_set), walk_head(second), walk_head(third)});
        }
        if (fifth == 0) {
            return find_on_levels(
                probe, p, stop,
                std::array{walk_head(level_set), walk_head(second), walk_head(third), walk_head(fourth)});
        }
        return find_on_schedule(probe, p, level_set, stop);
    }

    // The end of a walk that found nothing: after an exceptional placement
    // the key may still be anywhere.
    template <class Q>
    ElasticLocation find_nowhere(const Q& probe, WalkKey p) const {
        if (schedule_.exceptional()) return full_scan(probe, p.fingerprint).value_or(kNowhere);
        return kNowhere;
    }

    // The control byte that ends a level's walk: empty, or after an
    // exceptional placement a value no slot holds, so that nothing ends early.
    std::uint8_t stop_control() const noexcept {
        return schedule_.exceptional() ? kNoControl : common::arena::kEmpty;
    }
    static constexpr std::uint8_t kNoControl = 0xFF;

    // Lookups whose lane admits at most this many levels merge those levels'
    // probes instead of walking the whole schedule.
    static constexpr int kMergedWalkLevels = 4;

    // Every route of the schedule in order, skipping those of levels not in
    // level_set, and dropping a level from it at its first `stop` probe.
    template <class Q>
    ElasticLocation find_on_schedule(const Q& probe, WalkKey p, std::uint32_t level_set, std::uint8_t stop) const {
        const Level<entry_type>* levels = arena_.levels.levels.get();
        for (const PhiRoute* route = schedule_.begin(), *end = schedule_.end(); route != end; ++route) {
            const std::uint32_t level = elastic_selector_level(route->selector);
            if (((level_set >> level) & 1u) == 0) continue;
            const std::size_t slot = elastic_probe_slot_shifted(p.prepared, route->selector, levels[level].shift);
            const std::uint8_t control = levels[level].ctrl[slot];
            if (control == p.fingerprint && probe.matches(levels[level].entries[slot].key)) return {level, slot};
            if (control == stop) {
                level_set &= ~(std::uint32_t{1} << level);
                if (level_set == 0) break;
            }
        }
        return find_nowhere(probe, p);
    }

    // One level's share of a merged walk. Its next probe is pair `index` of
    // kPhiOrder, whose rank orders it among the other levels' next probes
    // (kExhausted once the level has shown a `stop` probe; a rank at the
    // schedule's rank limit once it is past its last route). What all its
    // probes share stays alongside.
    struct WalkHead {
        std::uint32_t rank;
        std::uint32_t index;
        std::uint32_t selector_base;  // selector of pair `index`: 8 * index + selector_base
        unsigned slot_shift;
        const std::uint8_t* ctrl;

        std::uint32_t selector() const noexcept { return elastic_selector(0, index) + selector_base; }
    };
    static constexpr std::uint32_t kExhausted = ~std::uint32_t{0};

    // Where a merged walk starts on each level: the level's first scheduled
    // probe as a pair of kPhiOrder.
    struct LevelWalkStart {
        std::uint32_t rank;
        std::uint32_t index;
        std::uint32_t selector_base;
    };
    static constexpr auto kLevelWalkStarts = [] {
        std::array<LevelWalkStart, ProbeSchedule::kTrackedLevels> starts{};
        for (std::uint32_t level = 0; level < starts.size(); ++level) {
            const std::uint32_t t = ProbeSchedule::first_probe(level);
            const std::uint32_t index = kPhiOrder.first[level] + t;
            starts[level] = {kPhiOrder.rank[index], index, elastic_selector(level, t) - elastic_selector(0, index)};
        }
        return starts;
    }();

    // The head of the lowest level in `levels` (not 0).
    [[gnu::always_inline]] WalkHead walk_head(std::uint32_t levels) const noexcept {
        static_assert(ProbeSchedule::kTrackedLevels == 32);  // every bit of `levels` is a tracked level
        const auto level = static_cast<std::uint32_t>(std::countr_zero(levels));
        const LevelWalkStart& start = kLevelWalkStarts[level];
        const Level<entry_type>& at = arena_.levels.levels[level];
        return {start.rank, start.index, start.selector_base, at.shift, at.ctrl};
    }

    // The schedule walk restricted to the levels of `heads` (at most
    // kMergedWalkLevels), probe for probe in the schedule's order: each level
    // contributes its consecutive probes, and the next probe is always the
    // one of smallest rank among the heads' next ones, until that rank
    // reaches the schedule's limit. A head whose probe reads `stop` is
    // exhausted. The number of heads is part of the type and every head is
    // reached by a constant index, so the compiler can keep each head in
    // registers instead of an array it indexes at every step.
    template <class Q, std::size_t N>
    ElasticLocation find_on_levels(const Q& probe, WalkKey p, std::uint8_t stop, std::array<WalkHead, N> heads) const {
        // Locals, not reads through `p` and `this`: the compiler cannot tell
        // that a key comparison leaves them alone.
        const std::uint64_t H = p.prepared;
        const std::uint8_t fingerprint = p.fingerprint;
        const std::uint32_t limit = schedule_.rank_limit();
        std::size_t found_slot = 0;
        std::uint32_t found_selector = 0;
        // Probes head I's next position; true when the key is there.
        auto step = [&]<std::size_t I>(std::integral_constant<std::size_t, I>) {
            WalkHead& head = std::get<I>(heads);
            const std::uint32_t selector = head.selector();
            const std::size_t slot = elastic_probe_slot_shifted(H, selector, head.slot_shift);
            const std::uint8_t control = head.ctrl[slot];
            if (control == fingerprint &&
                probe.matches(arena_.levels.levels[elastic_selector_level(selector)].entries[slot].key)) {
                found_slot = slot;
                found_selector = selector;
                return true;
            }
            ++head.index;
            head.rank = control == stop ? kExhausted : kPhiOrder.rank[head.index];
            return false;
        };
        for (;;) {
            switch (with_nearest_head<1, 0>(heads, limit, step)) {
                case WalkStep::kNext:
                    break;
                case WalkStep::kFound:
                    return {elastic_selector_level(found_selector), found_slot};
                case WalkStep::kDone:
                    return find_nowhere(probe, p);
            }
        }
    }

    enum class WalkStep { kNext, kFound, kDone };

    // Takes the step of the head whose rank is the smallest (the first of
    // equals), or none when that rank reaches the limit. B is the nearest of
    // heads 0 .. I - 1; each comparison branches, so every step runs with
    // its head's index a constant.
    template <std::size_t I, std::size_t B, std::size_t N, class Step>
    [[gnu::always_inline]] static WalkStep with_nearest_head(const std::array<WalkHead, N>& heads,
                                                             std::uint32_t limit, Step& step) {
        if constexpr (I == N) {
            if (std::get<B>(heads).rank >= limit) return WalkStep::kDone;
            return step(std::integral_constant<std::size_t, B>{}) ? WalkStep::kFound : WalkStep::kNext;
        } else if (std::get<I>(heads).rank < std::get<B>(heads).rank) {
            return with_nearest_head<I + 1, I>(heads, limit, step);
        } else {
            return with_nearest_head<I + 1, B>(heads, limit, step);
        }
    }

    template <class Q>
    [[gnu::noinline, gnu::cold]] std::optional<ElasticLocation> full_scan(const Q& probe, std::uint8_t fp) const {
        for (std::size_t i = 0; i < level_count(); ++i) {
            if (((live_levels_ >> i) & 1u) == 0) continue;
            const Level<entry_type>& level = arena_.levels[i];
            const std::size_t slot = common::arena::find_slot(
                level.ctrl, level.len, [fp](std::uint64_t group) { return common::arena::match_mask(group, fp); },
                [&](std::size_t s) { return probe.matches(level.entries[s].key); });
            if (slot < level.len) return ElasticLocation{i, slot};
        }
        return std::nullopt;
    }

    const Level<entry_type>* checked_level(ElasticLocation loc) const {
        common::error::check(loc.level < level_count(), "Elastic level index in bounds");
        const Level<entry_type>& level = arena_.levels[loc.level];
        common::error::check(loc.slot < level.len, "Elastic slot index in bounds");
        return &level;
    }

    // The placements take the entry as a function that returns it, so that
    // it is built in its slot: a copy's entry from the moved key and value,
    // a Python key's new reference only once the key has a slot.
    template <class Make>
    ElasticLocation place_new_entry(Make& make, const ElasticPreparedKey& p, const PlacementChoice& choice) {
        // Most placements stay within the schedule's bound: only the others
        // pay for the call.
        if (choice.phi > schedule_.bound()) {
            schedule_.extend(choice.phi, level_count(), [this](std::size_t l) { return arena_.levels[l].len; });
        }
        return store(make, p, ElasticLocation{choice.level, choice.slot});
    }

    template <class Make>
    ElasticLocation place_exceptional_entry(Make& make, const ElasticPreparedKey& p) {
        for (std::size_t i = 0; i < level_count(); ++i) {
            const Level<entry_type>& level = arena_.levels[i];
            const std::size_t slot = common::arena::first_free(level.ctrl, level.len);
            if (slot < level.len) {
                schedule_.mark_exceptional();
                return store(make, p, ElasticLocation{i, slot});
            }
        }
        common::error::panic("Elastic insertion limit must leave a free slot");
    }

    template <class Make>
    ElasticLocation store(Make& make, const ElasticPreparedKey& p, ElasticLocation loc) {
        Level<entry_type>& level = arena_.levels[loc.level];
        ::new (static_cast<void*>(&level.entries[loc.slot])) entry_type(make());
        if (level.ctrl[loc.slot] == common::arena::kTombstone) --level.tombstones;
        level.ctrl[loc.slot] = p.fingerprint;
        ++level.occupied;
        live_levels_ |= std::uint32_t{1} << loc.level;
        record_membership(p.prepared, p.membership, loc.level);
        ++len_;
        if (batch_remaining_ != 0) --batch_remaining_;
        return loc;
    }

    // One entry of a rebuild: hashed again from its cached hash, placed by the
    // batch rules of the new shape (never growing or rebuilding again).
    void place_moved(entry_type&& entry) {
        const ElasticPreparedKey p =
            elastic_prepare(seeds_.hash(entry.key.cached_hash()));
        advance_batch();
        const PlacementChoice choice = choose_slot(p.prepared, batch_index_);
        auto make = [&] { return entry_type(std::move(entry.key), std::move(entry.value)); };
        if (choice.probe != 0) {
            place_new_entry(make, p, choice);
        } else {
            place_exceptional_entry(make, p);
        }
    }

    entry_type take(ElasticLocation loc) {
        Level<entry_type>* level = const_cast<Level<entry_type>*>(checked_level(loc));
        common::error::check(common::arena::is_live(level->ctrl[loc.slot]), "Elastic removal of a live slot");
        entry_type entry(std::move(level->entries[loc.slot]));
        std::destroy_at(&level->entries[loc.slot]);
        level->ctrl[loc.slot] = common::arena::kTombstone;
        --len_;
        if (--level->occupied == 0) live_levels_ &= ~(std::uint32_t{1} << loc.level);
        ++level->tombstones;
        return entry;
    }

    // Detaches the arena first, then releases every live entry level by level
    // and frees the storage (the guard frees it even if a release throws).
    void drop_storage() noexcept {
        ElasticArena<entry_type> old = std::exchange(arena_, {});
        len_ = 0;
        if (old.block.align() == 0) return;
        common::arena::ArenaDropGuard<ElasticLevels<entry_type>> guard(std::move(old.block), std::move(old.levels));
    }

    common::hash::HashSeeds seeds_;
    ElasticArena<entry_type> arena_;
    std::size_t len_ = 0;
    std::size_t slots_ = 0;
    std::size_t insert_limit_ = 0;
    std::uint32_t k_ = 3;
    // Bit l set exactly when level l holds a live entry: lookups skip the
    // others, which no key can be on. (Beside k_, in what was its padding.)
    std::uint32_t live_levels_ = 0;
    LevelWords quotas_;
    std::size_t batch_index_ = 0;
    std::size_t batch_remaining_ = 0;
    ProbeSchedule schedule_;
};

}  // namespace tavoric::elastic
