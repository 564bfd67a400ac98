// FunnelTable<K, V>: open addressing by Funnel hashing.
//
// Layout. One 64-byte aligned block holds n + 15 control bytes (see
// common/arena/control.hpp; the last fifteen always 0, so a 16-byte group
// read is safe at every slot index), the n-slot entry array
// and a membership filter of ⌈n/10⌉ 64-bit words. The slots are split into
// α = 4k + 10 levels of β = 2k-wide buckets, shrinking by about a quarter per
// level, then a special array: a uniform part probed at λ random slots and a
// two-choice part of width-2λ buckets (layout.hpp).
//
// Probing. From the 64-bit table hash h come a probe base (h + a constant)
// and a key mix F(h + another constant), F the SplitMix64 finalizer. A probe
// with selector s into a range of m positions takes the high half of
// (mix ^ F(base ^ s)) · m, rejecting low halves below 2^64 mod m (unbiased)
// and retrying with s | r, r = 1..7; eight rejections end the search as
// "retries exhausted". The probe path is: one bucket per level, in level
// order; then λ uniform slots; then the two two-choice buckets in lock step.
// Along the path the first empty slot ends the search (a key is never placed
// beyond an empty slot of its path), tombstones are passed and the first one
// remembered for reuse, and keys are compared only where the control byte
// equals the fingerprint.
//
// Fallback. A key whose path has no free slot (or whose probes were
// rejected eight times) goes to the first free slot of the table, and the
// table is marked displaced: lookups and insertions then finish with a full
// scan. Every rebuild clears the mark unless it needs the fallback itself.
//
// Removal leaves a tombstone (0x80) and keeps the filter bits; more than
// purge_threshold(n) tombstones trigger a same-size rebuild, deferred to one
// check at the end of a draining walk.
//
// Failures. Allocation is fallible everywhere: construction returns
// TryBuildError, insert, insert_distinct and reserve return AllocError with
// the table exactly as before (the passed key and value are released). A
// reservation beyond the largest table is a CapacityOverflow value; an
// insertion that would need one panics with "capacity overflow" before
// anything changes.
// A purge whose allocation is refused is skipped: the tombstones stay and
// the table remains correct.
//
// Keys known to be distinct. insert_distinct is insertion for a key the
// caller guarantees is not stored, as when copying a table: it never
// compares keys, and places the entry in the very slot insert would (growing
// first exactly as insert would), so a copy built with it is laid out like
// one built with insert.
//
// Keys whose equality changes over time. Insertion compares keys once, in
// the search before any growth; the placement after a growth and every
// rebuild place entries at the first free slot of their path without
// comparing keys (the entries are distinct by construction). So an unstable
// equality can never make a rebuild drop or merge entries: every entry moved
// is kept, and the table may then hold two keys that now compare equal; a
// lookup finds the first on the path. For well-behaved keys this places every
// entry exactly where a comparing search would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <type_traits>
#include <string_view>
#include <utility>

#include "common/arena/aligned_block.hpp"
#include "common/arena/arena_slots.hpp"
#include "common/arena/control.hpp"
#include "common/arena/find_or_insert.hpp"
#include "common/arena/membership.hpp"
#include "common/arena/slot_entry.hpp"
#include "common/error/panic.hpp"
#include "common/error/try_errors.hpp"
#include "common/hash/bounded_reduction.hpp"
#include "common/hash/splitmix.hpp"
#include "common/iter/cursor.hpp"
#include "funnel/layout.hpp"
#include "funnel/probe.hpp"
#include "common/hash/table_hash.hpp"

namespace tavoric::funnel {

using common::error::TryBuildError;

enum class SearchOutcome : std::uint8_t { Found, Vacant, NoSlot, RetriesExhausted };

struct SearchResult {
    SearchOutcome outcome;
    std::size_t slot = 0;
};

template <class K, class V>
class FunnelTable {
public:
    using key_type = K;
    using value_type = V;
    using entry_type = common::arena::SlotEntry<K, V>;
    using location_type = std::size_t;
    using cursor_type = common::iter::Cursor<entry_type>;
    using storage_type = common::arena::FlatStorage<entry_type>;

    // A table whose insert budget is at least `budget` (0 gives the empty
    // table, which owns no block and grows on its first insertion).
    static std::expected<FunnelTable, TryBuildError> try_with_insert_budget(std::size_t budget, std::uint32_t k,
                                                                           common::hash::HashSeeds seeds) noexcept {
        if (k < kMinReserveExponent) return std::unexpected(TryBuildError::exponent_below_minimum(k, kMinReserveExponent));
        FunnelTable table(seeds, k);
        if (budget == 0) return table;
        if (k > common::arena::kLargestReserveExponent) return std::unexpected(TryBuildError::capacity_overflow());
        auto slots = smallest_admissible_slots(budget, k);
        if (!slots) return std::unexpected(TryBuildError::capacity_overflow());
        auto built = Built::make(*slots, k);
        if (!built) return std::unexpected(TryBuildError::from(built.error()));
        table.install(std::move(*built));
        return table;
    }

    FunnelTable(FunnelTable&& other) noexcept
        : seeds_(other.seeds_),
          shape_(std::move(other.shape_)),
          block_(std::move(other.block_)),
          storage_(std::exchange(other.storage_, storage_type{})),
          filter_(std::exchange(other.filter_, no_filter())),
          filter_words_(std::exchange(other.filter_words_, 0)),
          len_(std::exchange(other.len_, 0)),
          tombstones_(std::exchange(other.tombstones_, 0)),
          k_(other.k_),
          displaced_(std::exchange(other.displaced_, false)) {
        other.shape_ = FunnelShape{};
    }
    FunnelTable& operator=(FunnelTable&& other) noexcept {
        if (this != &other) {
            this->~FunnelTable();
            std::construct_at(this, std::move(other));
        }
        return *this;
    }
    FunnelTable(const FunnelTable&) = delete;
    FunnelTable& operator=(const FunnelTable&) = delete;

    // Teardown: the block is taken out first, then every live entry is
    // released in slot order, then the block and the level array are freed.
    ~FunnelTable() {
        common::arena::ArenaDropGuard<storage_type> guard(std::move(block_), storage_);
        storage_ = storage_type{};
        filter_ = no_filter();
        len_ = 0;
    }

    // ---- lookup -----------------------------------------------------------

    // Slot of a stored key equal to the probe (probe.matches(stored)). The
    // fingerprint is taken only past the membership word, which turns most
    // absent keys away.
    template <class Q>
    std::optional<std::size_t> find(const Q& probe, std::uint64_t hash) const {
        if (!may_hold(hash)) return std::nullopt;
        return find_past_filter(probe, hash);
    }

    // find() for a hash may_hold() admitted.
    template <class Q>
    std::optional<std::size_t> find_past_filter(const Q& probe, std::uint64_t hash) const {
        const std::uint8_t fp = common::arena::fingerprint_of(hash);
        SearchResult r = search<true, false>(probe, hash, fp);
        if (r.outcome == SearchOutcome::Found) return r.slot;
        if (displaced_) return full_scan(probe, fp);
        return std::nullopt;
    }

    // False when the membership word proves no stored key has this hash.
    // A table without slots reads its one empty word (no_filter()).
    [[gnu::always_inline]] bool may_hold(std::uint64_t hash) const noexcept {
        const auto bits = common::arena::MembershipBits::of(hash, filter_words_);
        return (filter_[bits.record] & bits.mask) == bits.mask;
    }

    entry_type& entry_at(std::size_t slot) noexcept { return storage_.slots[slot]; }
    const entry_type& entry_at(std::size_t slot) const noexcept { return storage_.slots[slot]; }

    // ---- insertion and growth ----------------------------------------------

    // Stores (key, value), or replaces the value of an equal stored key and
    // returns the old value; the key is taken only when it is stored, else
    // it stays with the caller. On AllocError nothing changed.
    std::expected<std::optional<V>, TryReserveError> insert(K&& key, V value, std::uint64_t hash) {
        return common::arena::insert_or_replace(*this, std::move(key), std::move(value), hash);
    }

    // The slot of a stored key equal to `probe`, or the slot where the entry
    // make() returns is stored now (common/arena/find_or_insert.hpp).
    //
    // A key the membership word rules out is stored nowhere, not even in a
    // displaced table's fallback slots (every write sets its bits, removals
    // keep them): its walk compares nothing and only looks for the first
    // free slot, the very slot a comparing walk would end at.
    template <class Q, class Make>
    std::expected<common::arena::FoundOrInserted<std::size_t>, TryReserveError> find_or_insert(const Q& probe,
                                                                                              std::uint64_t hash,
                                                                                              Make&& make) {
        using Outcome = common::arena::FoundOrInserted<std::size_t>;
        const std::uint8_t fp = common::arena::fingerprint_of(hash);
        SearchResult r;
        if (may_hold(hash)) {
            r = search_for_this_table<true>(probe, hash, fp);
            if (r.outcome == SearchOutcome::Found) return Outcome{r.slot, false};
            if (displaced_) {
                if (auto slot = full_scan(probe, fp)) return Outcome{*slot, false};
            }
        } else {
            r = search_for_this_table<false>(probe, hash, fp);
        }
        if (len_ >= shape_.insert_budget) {
            if (auto grown = grow_for_one_more(); !grown) return std::unexpected(grown.error());
            // The key is known to be absent: place it without comparing.
            r = search_for_this_table<false>(probe, hash, fp);
        }
        const std::size_t slot = place(r, fp, hash, make(), "Funnel insertion limit reserves a free slot");
        return Outcome{slot, true};
    }

    // Stores (key, value) for a key the caller guarantees no stored key
    // equals (the entries of a copy). The entry lands in the slot insert
    // would choose and the table grows exactly as insert would grow it, but
    // no key is compared: one placement walk instead of a comparing search.
    // On AllocError nothing changed (the passed key and value are released).
    std::expected<void, TryReserveError> insert_distinct(K key, V value, std::uint64_t hash) {
        if (len_ >= shape_.insert_budget) {
            if (auto grown = grow_for_one_more(); !grown) return std::unexpected(grown.error());
        }
        const std::uint8_t fp = common::arena::fingerprint_of(hash);
        place(search_for_this_table<false>(key, hash, fp), fp, hash, entry_type(std::move(key), std::move(value)),
              "Funnel insertion limit reserves a free slot");
        return {};
    }

    // Room for len + additional entries without further growth.
    std::expected<void, TryReserveError> reserve(std::size_t additional) {
        const std::size_t required = saturating_add(len_, additional);
        if (required <= shape_.insert_budget) return {};
        auto slots = next_growth_slots(shape_.insert_budget, k_, required);
        if (!slots) return std::unexpected(TryReserveError::capacity_overflow());
        return resize_with_transition(*slots);
    }

    // Rebuilds into the geometry of new_slots, reinserting entries in
    // ascending old slot order. Everything is allocated before the table is
    // touched, so AllocError leaves it as it was.
    std::expected<void, TryReserveError> resize_with_transition(std::size_t new_slots) {
        if (common::arena::RebuildFaults::should_fail()) common::error::panic("injected rebuild failure");
        // Slot counts come from the size search or from this table, so they
        // always have a geometry and a representable layout; only memory can
        // be refused.
        common::error::check(funnel_admissible(new_slots, k_) || new_slots == 0, "compatible Funnel resize geometry");
        auto layout = funnel_layout(new_slots, sizeof(entry_type), alignof(entry_type));
        common::error::check(layout.has_value() || layout.error().kind() == TryReserveError::Kind::AllocError,
                             "constructed Funnel layout");
        auto built = Built::make(new_slots, k_);
        if (!built) {
            common::error::check(built.error().kind() == TryReserveError::Kind::AllocError,
                                 "compatible Funnel resize geometry");
            return std::unexpected(built.error());
        }
        common::arena::ArenaDropGuard<storage_type> old(std::move(block_), storage_);
        install(std::move(*built));
        // The new table has no tombstones: the plain placement walk.
        old.storage()->region().drain_values_and_clear([this](entry_type&& entry) {
            const std::uint64_t hash = seeds_.hash(entry.key.cached_hash());
            const std::uint8_t fp = common::arena::fingerprint_of(hash);
            place(search<false, false>(entry.key, hash, fp), fp, hash, std::move(entry),
                  "Funnel rebuild has enough logical capacity");
        });
        return {};
    }

    // ---- removal -----------------------------------------------------------

    // Moves the entry at a live slot out, leaving a tombstone; purges when
    // tombstones exceed the threshold. The caller owns the entry.
    entry_type remove(std::size_t slot) {
        entry_type out = remove_deferred(slot);
        purge_if_needed();
        return out;
    }

    // The same without the purge check (for walks that go on by slot index).
    entry_type remove_deferred(std::size_t slot) {
        // A stale location would corrupt the counts; refuse it before any change.
        common::error::check(slot < storage_.n && common::arena::is_live(storage_.ctrl[slot]),
                             "Funnel removal of a slot that holds no entry");
        entry_type out(std::move(storage_.slots[slot]));
        std::destroy_at(&storage_.slots[slot]);
        storage_.ctrl[slot] = common::arena::kTombstone;
        --len_;
        ++tombstones_;
        return out;
    }

    // Not noexcept: the purge's rebuild checks its invariants, and a failure
    // must reach the caller as an exception like any other operation's.
    void finish_deferred_removals() { purge_if_needed(); }

    // Releases every entry; keeps the geometry, block and capacity.
    void clear() noexcept {
        common::arena::clear_slots(storage_.ctrl, storage_.n, [this](std::size_t slot) {
            --len_;
            std::destroy_at(&storage_.slots[slot]);
        });
        tombstones_ = 0;
        displaced_ = false;
        if (filter_words_ != 0) std::memset(filter_, 0, filter_words_ * sizeof(std::uint64_t));
    }

    // ---- iteration ---------------------------------------------------------

    entry_type* scan_next(cursor_type& cursor) const {
        return cursor.next([this](cursor_type& c) { return scan_advance(c); });
    }
    // The one flat region, then none.
    bool scan_advance(cursor_type& cursor) const noexcept {
        if (cursor.regions_entered() != 0) return false;
        cursor.enter_region(storage_.ctrl, storage_.n, storage_.slots);
        return true;
    }
    std::size_t cursor_location(const cursor_type& cursor) const noexcept { return cursor.last_slot(); }

    // ---- state -------------------------------------------------------------

    std::size_t len() const noexcept { return len_; }
    std::size_t capacity() const noexcept { return shape_.insert_budget; }
    common::hash::HashSeeds seeds() const noexcept { return seeds_; }
    std::uint32_t reserve_exponent() const noexcept { return k_; }
    // Bytes of storage the table owns outside its own object: the one block.
    std::size_t heap_bytes() const noexcept { return block_.size(); }

    // The table's inside, read-only, for tests and benchmarks; no container
    // uses it.
    class Inspect {
    public:
        explicit Inspect(const FunnelTable& table) noexcept : t_(table) {}
        std::size_t tombstones() const noexcept { return t_.tombstones_; }
        bool displaced() const noexcept { return t_.displaced_; }
        const FunnelShape& shape() const noexcept { return t_.shape_; }
        std::size_t slot_count() const noexcept { return t_.storage_.n; }
        std::span<const std::uint8_t> control_bytes() const noexcept {
            return {t_.storage_.ctrl, t_.storage_.n == 0 ? 0 : t_.storage_.n + common::arena::kWideGroupPadding};
        }
        std::span<const std::uint64_t> filter_words() const noexcept { return {t_.filter_, t_.filter_words_}; }
        const common::arena::OwnedBlock& block() const noexcept { return t_.block_; }
        // The probe-path search with tombstone tracking: Found (an equal
        // key), Vacant (the first tombstone of the path, else the empty slot
        // that ended it), NoSlot or RetriesExhausted. It is the walk lookups
        // and insertions take; the tests hold it against a slot-by-slot walk
        // of the path.
        template <class Q>
        SearchResult search(const Q& probe, std::uint64_t hash, std::uint8_t fp) const {
            return t_.template search<true, true>(probe, hash, fp);
        }

    private:
        const FunnelTable& t_;
    };
    Inspect inspect() const noexcept { return Inspect(*this); }

private:
    // A new shape with its zeroed block, not yet installed.
    struct Built {
        FunnelShape shape;
        common::arena::OwnedBlock block;
        common::arena::BlockLayout layout;

        static std::expected<Built, TryReserveError> make(std::size_t n, std::uint32_t k) noexcept {
            auto shape = FunnelShape::from_slots(n, k);
            if (!shape) return std::unexpected(shape.error());
            auto layout = funnel_layout(n, sizeof(entry_type), alignof(entry_type));
            if (!layout) return std::unexpected(layout.error());
            auto block = common::arena::try_allocate_table_block(*layout);
            if (!block) return std::unexpected(block.error());
            return Built{std::move(*shape), std::move(*block), *layout};
        }
    };

    FunnelTable(common::hash::HashSeeds seeds, std::uint32_t k) noexcept : seeds_(seeds), k_(k) {}

    // Installs a built shape as an empty table (the old block must have been
    // moved out already).
    void install(Built&& built) noexcept {
        shape_ = std::move(built.shape);
        block_ = std::move(built.block);
        std::byte* base = block_.base();
        const std::size_t n = shape_.slots;
        storage_ = storage_type{n == 0 ? nullptr : reinterpret_cast<std::uint8_t*>(base),
                                n == 0 ? nullptr : reinterpret_cast<entry_type*>(base + built.layout.entries_offset), n};
        filter_ = n == 0 ? no_filter() : reinterpret_cast<std::uint64_t*>(base + built.layout.records_offset);
        filter_words_ = built.layout.records;
        len_ = 0;
        tombstones_ = 0;
        displaced_ = false;
    }

    static constexpr std::size_t saturating_add(std::size_t a, std::size_t b) noexcept {
        return a > std::numeric_limits<std::size_t>::max() - b ? std::numeric_limits<std::size_t>::max() : a + b;
    }

    // The growth of an insertion at the budget; panics before any change
    // when no larger table exists.
    std::expected<void, TryReserveError> grow_for_one_more() {
        auto slots = next_growth_slots(shape_.insert_budget, k_, saturating_add(len_, 1));
        if (!slots) common::error::panic("capacity overflow");
        return resize_with_transition(*slots);
    }

    // Stores an entry whose key is absent where the search `r` of its path
    // says: the vacant slot it found, or, when the path had none (or its
    // probes were rejected), the first free slot of the table, which marks
    // the table displaced. `no_room` names the invariant that such a slot
    // exists.
    [[gnu::always_inline]] std::size_t place(SearchResult r, std::uint8_t fp, std::uint64_t hash,
                                             entry_type&& entry, std::string_view no_room) {
        std::size_t slot = r.slot;
        if (r.outcome != SearchOutcome::Vacant) {
            auto free = first_free_slot();
            common::error::check(free.has_value(), no_room);
            slot = *free;
            displaced_ = true;
        }
        write(slot, fp, hash, std::move(entry));
        return slot;
    }

    void write(std::size_t slot, std::uint8_t fp, std::uint64_t hash, entry_type&& entry) noexcept {
        std::construct_at(&storage_.slots[slot], std::move(entry));
        if (storage_.ctrl[slot] == common::arena::kTombstone) --tombstones_;
        storage_.ctrl[slot] = fp;
        if (filter_words_ != 0) {
            const auto bits = common::arena::MembershipBits::of(hash, filter_words_);
            filter_[bits.record] |= bits.mask;
        }
        ++len_;
    }

    void purge_if_needed() {
        if (tombstones_ <= shape_.purge_limit) return;
        // A refused allocation skips the purge; the table stays correct.
        (void)resize_with_transition(storage_.n);
    }

    std::optional<std::size_t> first_free_slot() const noexcept {
        const std::size_t slot = common::arena::first_free(storage_.ctrl, storage_.n);
        return slot < storage_.n ? std::optional<std::size_t>(slot) : std::nullopt;
    }

    template <class Q>
    [[gnu::noinline, gnu::cold]] std::optional<std::size_t> full_scan(const Q& probe, std::uint8_t fp) const {
        const std::size_t slot = common::arena::find_slot(
            storage_.ctrl, storage_.n, [fp](std::uint64_t group) { return common::arena::match_mask(group, fp); },
            [&](std::size_t s) { return probe.matches(storage_.slots[s].key); });
        return slot < storage_.n ? std::optional<std::size_t>(slot) : std::nullopt;
    }

    static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

    // Walks the probe path. With Compare false keys are never compared: the
    // result is the first free slot of the path (for keys known to be
    // absent). With TrackTombstones false tombstones are passed over like
    // other keys' slots: right for lookups, which only care about Found, and
    // for tables without tombstones, where it is the same walk for less work.
    //
    // A level's bucket is matched sixteen control bytes at a time (one group
    // for β ≤ 16, that is k ≤ 8). Everything the walk reads from the table is
    // copied into locals first: a key comparison is a call the compiler cannot
    // see into, and after it every field read through `this` would be loaded
    // again.
    template <bool Compare, bool TrackTombstones, class Q>
    SearchResult search(const Q& probe, std::uint64_t hash, std::uint8_t fp) const {
        namespace arena = common::arena;
        using Group = arena::WideGroup;
        using Mask = Group::Mask;
        constexpr std::size_t kWidth = arena::kWideGroupWidth;
        if (storage_.n == 0) return {SearchOutcome::NoSlot};
        const std::uint8_t* const ctrl = storage_.ctrl;
        const entry_type* const slots = storage_.slots;
        const LevelShape* const levels = shape_.levels.get();
        const LevelShape* const levels_end = levels + shape_.level_count;
        const std::size_t beta = shape_.bucket_width;
        const ProbeKey pk = ProbeKey::of(hash);
        const Mask tail_mask = shape_.bucket_tail_mask;
        std::size_t first_free = kNone;
        SearchResult result{SearchOutcome::NoSlot};

        // Examines the group at `at`, limited to the bucket's bytes `in_bucket`;
        // true when the walk is decided (result set).
        auto scan_group = [&](std::size_t at, Mask in_bucket) __attribute__((always_inline)) -> bool {
            const Group group(ctrl + at);
            const Mask empty = group.empty() & in_bucket;
            // A bucket fills from its front and a slot becomes empty again
            // only in a rebuild or clear, so nothing but empties follows an
            // empty (the tests check it on every table they build):
            // matches and tombstones need no trimming to the bucket's front.
            if constexpr (Compare) {
                for (Mask match = group.match(fp) & in_bucket; match != 0; match &= match - 1) {
                    const std::size_t slot = at + arena::lowest_index(match);
                    if (probe.matches(slots[slot].key)) {
                        result = {SearchOutcome::Found, slot};
                        return true;
                    }
                }
            }
            if constexpr (TrackTombstones) {
                if (first_free == kNone) {
                    const Mask tomb = group.tombstone() & in_bucket;
                    if (tomb != 0) first_free = at + arena::lowest_index(tomb);
                }
            }
            if (empty != 0) {
                const std::size_t slot = at + arena::lowest_index(empty);
                result = {SearchOutcome::Vacant, first_free != kNone ? first_free : slot};
                return true;
            }
            return false;
        };
        // Examines a bucket wider than one group (k > 8), [start, start + β)
        // in slot order, group after group. Narrow buckets are matched in
        // the level loop below.
        const bool narrow = beta <= kWidth;
        auto scan_bucket = [&](std::size_t start) __attribute__((always_inline)) -> bool {
            std::size_t off = 0;
            for (; off + kWidth < beta; off += kWidth)
                if (scan_group(start + off, Mask{0xFFFF})) return true;
            return scan_group(start + off, tail_mask);
        };
        auto examine = [&](std::size_t slot) __attribute__((always_inline)) -> bool {
            const std::uint8_t c = ctrl[slot];
            if (c == arena::kEmpty) {
                result = {SearchOutcome::Vacant, first_free != kNone ? first_free : slot};
                return true;
            }
            if constexpr (TrackTombstones) {
                if (c == arena::kTombstone) {
                    if (first_free == kNone) first_free = slot;
                    return false;
                }
            }
            if constexpr (Compare) {
                if (c == fp && probe.matches(slots[slot].key)) {
                    result = {SearchOutcome::Found, slot};
                    return true;
                }
            }
            return false;
        };

        // One level after the other. Computing the next levels' buckets ahead
        // to prefetch their control groups cost about 80 instructions per
        // hit and showed no measurable gain in time on two-million-entry
        // tables: most walks end in the first level or two.
        if (narrow) [[likely]] {
            // Narrow buckets: the inner loop passes over the buckets that hold
            // neither a fingerprint match nor an empty slot (most of a walk)
            // without a call, so its state stays in registers; a candidate
            // is compared outside it, where a call may spill what it must.
            const LevelShape* level = levels;
            while (level != levels_end) {
                std::size_t at;
                Mask match, empty;
                for (;;) {
                    auto bucket = pk.position(level->selector, level->bucket_count, level->threshold);
                    if (!bucket) [[unlikely]]
                        return {SearchOutcome::RetriesExhausted};
                    at = level->start + *bucket * beta;
                    const Group group(ctrl + at);
                    match = Compare ? group.match(fp) & tail_mask : 0;
                    empty = group.empty() & tail_mask;
                    if constexpr (TrackTombstones) {
                        if (first_free == kNone) {
                            const Mask tomb = group.tombstone() & tail_mask;
                            if (tomb != 0) first_free = at + arena::lowest_index(tomb);
                        }
                    }
                    if ((match | empty) != 0) break;
                    if (++level == levels_end) goto special_array;
                }
                if constexpr (Compare) {
                    for (; match != 0; match &= match - 1) {
                        const std::size_t slot = at + arena::lowest_index(match);
                        if (probe.matches(slots[slot].key)) return {SearchOutcome::Found, slot};
                    }
                }
                if (empty != 0)
                    return {SearchOutcome::Vacant, first_free != kNone ? first_free : at + arena::lowest_index(empty)};
                ++level;
            }
        } else {
            for (const LevelShape* level = levels; level != levels_end; ++level) {
                auto bucket = pk.position(level->selector, level->bucket_count, level->threshold);
                if (!bucket) [[unlikely]]
                    return {SearchOutcome::RetriesExhausted};
                if (scan_bucket(level->start + *bucket * beta)) return result;
            }
        }
    special_array:

        // The special array: few walks get here, so its shape is read now.
        const std::size_t uniform_probes = shape_.uniform_probes, uniform_size = shape_.uniform_size,
                          uniform_start = shape_.uniform_start;
        const std::uint64_t uniform_threshold = shape_.uniform_threshold;
        for (std::size_t j = 0; j < uniform_probes; ++j) {
            auto pos = pk.position(kUniformSelector | ((j & 0xff) << 8), uniform_size, uniform_threshold);
            if (!pos) return {SearchOutcome::RetriesExhausted};
            if (examine(uniform_start + *pos)) return result;
        }
        const std::size_t w = shape_.two_choice_width, two_start = shape_.two_choice_start;
        auto b1 = pk.position(kFirstChoiceSelector, shape_.two_choice_buckets, shape_.two_choice_threshold);
        if (!b1) return {SearchOutcome::RetriesExhausted};
        auto b2 = pk.position(kSecondChoiceSelector, shape_.two_choice_buckets, shape_.two_choice_threshold);
        if (!b2) return {SearchOutcome::RetriesExhausted};
        for (std::size_t i = 0; i < w; ++i) {
            if (examine(two_start + *b1 * w + i)) return result;
            if (examine(two_start + *b2 * w + i)) return result;
        }
        if (first_free != kNone) return {SearchOutcome::Vacant, first_free};
        return {SearchOutcome::NoSlot};
    }

    // The walk for this table: tombstone bookkeeping only when it has
    // tombstones. Compare false is the placement of a key known to be absent.
    template <bool Compare, class Q>
    SearchResult search_for_this_table(const Q& key, std::uint64_t hash, std::uint8_t fp) const {
        return tombstones_ == 0 ? search<Compare, false>(key, hash, fp) : search<Compare, true>(key, hash, fp);
    }

    common::hash::HashSeeds seeds_;
    FunnelShape shape_;
    common::arena::OwnedBlock block_;
    storage_type storage_;
    // The filter of a table without slots: a word with no bits, which every
    // key's record (0 of 0 words) reads, so that may_hold() needs no test
    // for a missing filter. Never written: writes and clear() go by
    // filter_words_, 0 for such a table.
    static inline const std::uint64_t kNoMembers = 0;
    static std::uint64_t* no_filter() noexcept { return const_cast<std::uint64_t*>(&kNoMembers); }

    std::uint64_t* filter_ = no_filter();
    std::size_t filter_words_ = 0;
    std::size_t len_ = 0;
    std::size_t tombstones_ = 0;
    std::uint32_t k_ = 0;
    bool displaced_ = false;
};

}  // namespace tavoric::funnel
