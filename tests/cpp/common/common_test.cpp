// Shared pieces: control bytes, aligned blocks, slot regions and their drop
// guard, errors, the cursor, SplitMix and the bounded reduction.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "common/arena/aligned_block.hpp"
#include "common/arena/arena_slots.hpp"
#include "common/arena/control.hpp"
#include "common/arena/reserve.hpp"
#include "common/arena/slot_entry.hpp"
#include "common/error/panic.hpp"
#include "common/error/try_errors.hpp"
#include "common/hash/bounded_reduction.hpp"
#include "common/hash/splitmix.hpp"
#include "common/iter/cursor.hpp"
#include "test_keys.hpp"

namespace {

using namespace tavoric::common::arena;
using namespace tavoric::common::hash;
using namespace tavoric::testing;
using tavoric::common::error::Panic;
using tavoric::common::error::TryBuildError;
using tavoric::common::iter::Cursor;
using P = std::vector<std::size_t>;
using Entry = SlotEntry<CountedKey, CountedValue>;

TEST(Control, FingerprintsAndGroupMasks) {
    const std::pair<std::uint64_t, int> fps[] = {{0, 1}, {0x01FFFFFFFFFFFFFFULL, 1}, {0x0200000000000000ULL, 1},
                                                 {0x0400000000000000ULL, 2}, {~0ULL, 127}, {0x123456789ABCDEF1ULL, 9}};
    for (auto [h, fp] : fps) EXPECT_EQ(fingerprint_of(h), fp) << h;
    const std::uint8_t bytes[8] = {0x00, 0x80, 0x01, 0x7f, 0x81, 0x05, 0x85, 0x00};
    const std::uint64_t g = load_group(bytes);
    auto positions = [](std::uint64_t mask) {
        P out;
        for (; mask; mask &= mask - 1) out.push_back(lowest_byte(mask));
        return out;
    };
    EXPECT_EQ(positions(live_mask(g)), (P{2, 3, 4, 5, 6}));
    EXPECT_EQ(positions(free_mask(g)), (P{0, 1, 7}));
    EXPECT_EQ(positions(empty_mask(g)), (P{0, 7}));
    EXPECT_EQ(positions(match_mask(g, 0x05)), (P{5}));
    for (int b = 0; b < 256; ++b) {  // every byte value against every fingerprint
        const std::uint8_t one[8] = {0, 0, 0, static_cast<std::uint8_t>(b), 0, 0, 0, 0};
        const std::uint64_t w = load_group(one);
        EXPECT_EQ((live_mask(w) >> 31) & 1, is_live(static_cast<std::uint8_t>(b)) ? 1u : 0u);
        EXPECT_EQ((empty_mask(w) >> 31) & 1, b == 0 ? 1u : 0u);
        for (int fp = 1; fp < 128; ++fp)
            EXPECT_EQ((match_mask(w, static_cast<std::uint8_t>(fp)) >> 31) & 1, b == fp ? 1u : 0u);
    }
}

TEST(AlignedBlock, AllocatesAlignedAndRefusesOnDemand) {
    auto block = try_allocate_block(256, kTableAlignment);
    ASSERT_TRUE(block.has_value() && reinterpret_cast<std::uintptr_t>(block->base()) % 64 == 0u);
    EXPECT_TRUE(block->size() == 256u && try_allocate_block(0, kTableAlignment)->size() == 0u);
    EXPECT_EQ(try_allocate_block(kMaxBlockBytes + 64, kTableAlignment).error(), TryReserveError::alloc_error());
    AllocationFaults::fail_after(1);
    EXPECT_TRUE(try_allocate_block(64, 64).has_value());
    EXPECT_FALSE(try_allocate_array<int>(4).has_value());
    EXPECT_TRUE(try_allocate_block(64, 64).has_value());  // one refusal only
}

TEST(ArenaSlots, DrainMovesLiveEntriesInOrderDropReleasesThemAndBothZeroTheRegion) {
    for (std::size_t n : {0u, 1u, 7u, 8u, 13u, 29u}) {
        for (bool drain : {true, false}) {
            Ledger ledger;  // counted entries at the live bytes of a pattern of empty, tombstone and live bytes
            std::vector<std::uint8_t> ctrl(n);
            OwnedBlock block = *try_allocate_block(64 * (n * sizeof(Entry) / 64 + 1), 64);
            auto* slots = reinterpret_cast<Entry*>(block.base());
            std::vector<std::int64_t> seen, expected;
            for (std::size_t i = 0; i < n; ++i) {
                ctrl[i] = i % 3 == 0 ? 0x00 : i % 5 == 0 ? kTombstone : static_cast<std::uint8_t>(1 + i % 127);
                if (!is_live(ctrl[i])) continue;
                std::construct_at(&slots[i], CountedKey(ledger, std::int64_t(i)), CountedValue(ledger, std::int64_t(i)));
                expected.push_back(std::int64_t(i));
            }
            if (drain) ArenaSlots<Entry>(ctrl.data(), slots, n).drain_values_and_clear([&](Entry&& e) { seen.push_back(e.key.value()); });
            else FlatStorage<Entry>{ctrl.data(), slots, n}.drop_all_values();
            EXPECT_EQ(seen, drain ? expected : std::vector<std::int64_t>{}) << "n=" << n;
            for (auto c : ctrl) EXPECT_EQ(c, 0);
            EXPECT_TRUE(ledger.all_released_once()) << "n=" << n;
        }
    }
}

TEST(ArenaDropGuard, ReleasesWhatIsStillLiveThenFreesTheBlockUnlessTaken) {
    Ledger ledger;
    const std::size_t n = 19;
    auto block = try_allocate_block(64 + ((n * sizeof(Entry) + 63) & ~std::size_t{63}), 64);
    ASSERT_TRUE(block.has_value());
    auto* ctrl = reinterpret_cast<std::uint8_t*>(block->base());
    auto* slots = reinterpret_cast<Entry*>(block->base() + 64);
    std::memset(ctrl, 0, 64);
    for (std::size_t i = 0; i < n; i += 2) {
        ctrl[i] = 7;
        std::construct_at(&slots[i], CountedKey(ledger, std::int64_t(i)), CountedValue(ledger, 0));
    }
    {
        ArenaDropGuard<FlatStorage<Entry>> guard(std::move(*block), FlatStorage<Entry>{ctrl, slots, n});
        std::vector<Entry> moved;  // moved out, as a rebuild interrupted part way would
        for (std::size_t i : {0u, 2u, 4u}) {
            ctrl[i] = 0;
            moved.emplace_back(std::move(slots[i]));
            std::destroy_at(&slots[i]);
        }
        EXPECT_EQ(ledger.released_count(), 0u);
    }
    EXPECT_TRUE(ledger.all_released_once());
    auto other = try_allocate_block(128, 64);
    std::byte* base = other->base();
    OwnedBlock back;
    {
        ArenaDropGuard<FlatStorage<SlotEntry<IntKey, Unit>>> guard(std::move(*other));
        back = guard.take_block();
    }
    EXPECT_TRUE(back.base() == base && back.size() == 128u);
}

TEST(Errors, ConversionTextsAndPanic) {
    EXPECT_TRUE(TryBuildError::from(TryReserveError::alloc_error()) == TryBuildError::alloc_error() &&
                TryBuildError::from(TryReserveError::capacity_overflow()) == TryBuildError::capacity_overflow());
    // The texts Python users see.
    EXPECT_EQ(TryReserveError::capacity_overflow().message(), "capacity overflow");
    EXPECT_EQ(TryReserveError::alloc_error().message(), "memory allocation failed");
    EXPECT_EQ(TryBuildError::exponent_below_minimum(2, 3).message(), "reserve exponent 2 is below the minimum 3");
    EXPECT_NO_THROW(tavoric::common::error::check(true, "never"));
    try {
        tavoric::common::error::check(false, "always");
        FAIL() << "check returned";
    } catch (const Panic& p) {
        EXPECT_TRUE(std::string(p.what()) == "always" && p.message() == "always");
    }
}

// A cursor walk over regions of plain integers (entry i of region r is
// r * 1000 + i) against a naive scan; returns how often it asked for a region.
int check_cursor_walk(const std::vector<std::vector<std::uint8_t>>& ctrl) {
    std::vector<std::vector<int>> entries(ctrl.size());
    std::vector<int> expected, seen;
    for (std::size_t r = 0; r < ctrl.size(); ++r)
        for (std::size_t i = 0; i < ctrl[r].size(); ++i) {
            entries[r].push_back(static_cast<int>(r * 1000 + i));
            if (is_live(ctrl[r][i])) expected.push_back(entries[r][i]);
        }
    int advances = 0;
    Cursor<int> c(expected.size());
    auto advance = [&](Cursor<int>& cur) {
        ++advances;
        const std::size_t next = cur.regions_entered();
        if (next >= ctrl.size()) return false;
        cur.enter_region(ctrl[next].data(), ctrl[next].size(), entries[next].data());
        return true;
    };
    while (int* e = c.next(advance)) {
        seen.push_back(*e);
        EXPECT_EQ(*e % 1000, static_cast<int>(c.last_slot()));
    }
    EXPECT_TRUE(c.remaining() == 0u && seen == expected);
    return advances;
}

// Empty tables ask for regions until there are none; random region lengths put
// live slots in full groups and in byte-by-byte tails, up to each region's last byte.
TEST(Cursor, MatchesANaiveScan) {
    EXPECT_EQ(check_cursor_walk({}), 1);
    EXPECT_EQ(check_cursor_walk({{}, {0, 0, 0}, std::vector<std::uint8_t>(17, 0x80)}), 4);
    std::mt19937_64 rng(12345);
    for (int round = 0; round < 300; ++round) {
        std::vector<std::vector<std::uint8_t>> patterns(rng() % 5);
        for (auto& p : patterns) {
            p.resize(rng() % 40);
            for (auto& b : p) {
                const auto r = rng() % 4;
                b = r == 0 ? 0 : r == 1 ? 0x80 : static_cast<std::uint8_t>(1 + rng() % 127);
            }
        }
        check_cursor_walk(patterns);
    }
}

TEST(SplitMix, KnownValues) {
    // The first outputs of SplitMix64 seeded with 0 are F(k * 0x9E3779B97F4A7C15).
    EXPECT_EQ(std::vector<std::uint64_t>({splitmix64_finalize(0), splitmix64_finalize(0x9E3779B97F4A7C15ULL), splitmix64_finalize(0x3C6EF372FE94F82AULL)}),
              std::vector<std::uint64_t>({0, 0xE220A8397B1DCDAFULL, 0x6E789E6AA1B965F4ULL}));
}

TEST(BoundedReduction, Thresholds) {
    const std::uint64_t cases[][2] = {{1, 0}, {2, 0}, {3, 1}, {6, 4}, {10, 6}, {1ULL << 40, 0}, {~0ULL, 1}};
    for (auto [m, t] : cases) EXPECT_EQ(reduction_threshold(m), t) << m;  // 2^64 mod m
}

}  // namespace
