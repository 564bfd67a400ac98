#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "common/arena/aligned_block.hpp"
#include "common/arena/arena_slots.hpp"
#include "common/arena/control.hpp"
#include "common/arena/slot_entry.hpp"
#include "test_keys.hpp"

namespace {

using namespace tavoric::common::arena;
using tavoric::testing::CountedKey;
using tavoric::testing::CountedValue;
using tavoric::testing::IntKey;
using tavoric::testing::Ledger;

static_assert(sizeof(SlotEntry<IntKey, Unit>) == 16, "a set entry is two machine words");
static_assert(sizeof(SlotEntry<IntKey, void*>) == 24, "a map entry is three machine words");

TEST(Control, FingerprintIsTopSevenBitsNeverZero) {
    EXPECT_EQ(fingerprint_of(0), 1);
    EXPECT_EQ(fingerprint_of(0x01FFFFFFFFFFFFFFULL), 1);
    EXPECT_EQ(fingerprint_of(0x0200000000000000ULL), 1);
    EXPECT_EQ(fingerprint_of(0x0400000000000000ULL), 2);
    EXPECT_EQ(fingerprint_of(0xFFFFFFFFFFFFFFFFULL), 127);
    EXPECT_EQ(fingerprint_of(0x123456789ABCDEF1ULL), 9);
}

TEST(Control, GroupMasksMarkTheRightBytes) {
    const std::uint8_t bytes[8] = {0x00, 0x80, 0x01, 0x7f, 0x81, 0x05, 0x85, 0x00};
    std::uint64_t g = load_group(bytes);
    auto positions = [](std::uint64_t mask) {
        std::vector<std::size_t> out;
        while (mask) {
            out.push_back(lowest_byte(mask));
            mask &= mask - 1;
        }
        return out;
    };
    EXPECT_EQ(positions(live_mask(g)), (std::vector<std::size_t>{2, 3, 4, 5, 6}));
    EXPECT_EQ(positions(free_mask(g)), (std::vector<std::size_t>{0, 1, 7}));
    EXPECT_EQ(positions(empty_mask(g)), (std::vector<std::size_t>{0, 7}));
    EXPECT_EQ(positions(match_mask(g, 0x05)), (std::vector<std::size_t>{5}));
    EXPECT_EQ(positions(match_mask(g, 0x01)), (std::vector<std::size_t>{2}));
    // Exhaustive check of every byte value against every fingerprint.
    for (int b = 0; b < 256; ++b) {
        std::uint8_t one[8] = {0, 0, 0, static_cast<std::uint8_t>(b), 0, 0, 0, 0};
        std::uint64_t w = load_group(one);
        EXPECT_EQ((live_mask(w) >> 31) & 1, is_live(static_cast<std::uint8_t>(b)) ? 1u : 0u);
        EXPECT_EQ((empty_mask(w) >> 31) & 1, b == 0 ? 1u : 0u);
        for (int fp = 1; fp < 128; ++fp) {
            EXPECT_EQ((match_mask(w, static_cast<std::uint8_t>(fp)) >> 31) & 1, b == fp ? 1u : 0u);
        }
    }
}

TEST(AlignedBlock, AllocatesAlignedAndRefusesOnDemand) {
    auto block = try_allocate_block(256, kTableAlignment);
    ASSERT_TRUE(block.has_value());
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block->base()) % 64, 0u);
    EXPECT_EQ(block->size(), 256u);

    auto empty = try_allocate_block(0, kTableAlignment);
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(empty->size(), 0u);
    EXPECT_EQ(empty->align(), 1u);

    auto too_big = try_allocate_block(kMaxBlockBytes + 64, kTableAlignment);
    ASSERT_FALSE(too_big.has_value());
    EXPECT_EQ(too_big.error(), TryReserveError::alloc_error());

    AllocationFaults::fail_after(1);
    EXPECT_TRUE(try_allocate_block(64, 64).has_value());
    EXPECT_FALSE(try_allocate_array<int>(4).has_value());
    EXPECT_TRUE(try_allocate_block(64, 64).has_value());  // one refusal only
}

// A region of counted entries built by hand.
struct CountedRegion {
    using Entry = SlotEntry<CountedKey, CountedValue>;
    std::size_t n;
    std::vector<std::uint8_t> ctrl;
    OwnedBlock block;
    Entry* slots;

    CountedRegion(Ledger& ledger, const std::vector<std::uint8_t>& pattern)
        : n(pattern.size()), ctrl(pattern), block(*try_allocate_block(64 * ((pattern.size() * sizeof(Entry)) / 64 + 1), 64)),
          slots(reinterpret_cast<Entry*>(block.base())) {
        for (std::size_t i = 0; i < n; ++i) {
            if (is_live(ctrl[i])) {
                std::construct_at(&slots[i], CountedKey(ledger, static_cast<std::int64_t>(i)),
                                  CountedValue(ledger, static_cast<std::int64_t>(i)));
            }
        }
    }
};

std::vector<std::uint8_t> pattern_of(std::size_t n) {
    std::vector<std::uint8_t> p(n);
    for (std::size_t i = 0; i < n; ++i) p[i] = (i % 3 == 0) ? 0x00 : (i % 5 == 0 ? kTombstone : static_cast<std::uint8_t>(1 + i % 127));
    return p;
}

TEST(ArenaSlots, DrainMovesLiveEntriesInOrderAndZeroesTheRegion) {
    for (std::size_t n : {0u, 1u, 7u, 8u, 13u, 29u}) {
        Ledger ledger;
        CountedRegion region(ledger, pattern_of(n));
        std::vector<std::int64_t> seen;
        ArenaSlots<CountedRegion::Entry>(region.ctrl.data(), region.slots, n)
            .drain_values_and_clear([&](CountedRegion::Entry&& e) { seen.push_back(e.key.value()); });
        std::vector<std::int64_t> expected;
        const auto pattern = pattern_of(n);
        for (std::size_t i = 0; i < n; ++i) {
            if (is_live(pattern[i])) expected.push_back(static_cast<std::int64_t>(i));
        }
        EXPECT_EQ(seen, expected) << "n=" << n;
        for (auto c : region.ctrl) EXPECT_EQ(c, 0);
        EXPECT_TRUE(ledger.all_released_once()) << "n=" << n;
    }
}

TEST(ArenaSlots, DropReleasesEveryLiveEntryOnce) {
    Ledger ledger;
    CountedRegion region(ledger, pattern_of(21));
    FlatStorage<CountedRegion::Entry>{region.ctrl.data(), region.slots, 21}.drop_all_values();
    EXPECT_TRUE(ledger.all_released_once());
    for (auto c : region.ctrl) EXPECT_EQ(c, 0);
}

TEST(ArenaDropGuard, ReleasesWhatIsStillLiveThenFreesTheBlock) {
    using Entry = CountedRegion::Entry;
    Ledger ledger;
    const std::size_t n = 19;
    std::size_t bytes = 64 + ((n * sizeof(Entry) + 63) & ~std::size_t{63});
    auto block = try_allocate_block(bytes, 64);
    ASSERT_TRUE(block.has_value());
    auto* ctrl = reinterpret_cast<std::uint8_t*>(block->base());
    auto* slots = reinterpret_cast<Entry*>(block->base() + 64);
    std::memset(ctrl, 0, 64);
    for (std::size_t i = 0; i < n; i += 2) {
        ctrl[i] = 7;
        std::construct_at(&slots[i], CountedKey(ledger, static_cast<std::int64_t>(i)), CountedValue(ledger, 0));
    }
    {
        ArenaDropGuard<FlatStorage<Entry>> guard(std::move(*block), FlatStorage<Entry>{ctrl, slots, n});
        // Move three entries out, as a rebuild interrupted part way would.
        std::vector<Entry> moved;
        for (std::size_t i : {0u, 2u, 4u}) {
            ctrl[i] = 0;
            moved.emplace_back(std::move(slots[i]));
            std::destroy_at(&slots[i]);
        }
        EXPECT_EQ(ledger.released_count(), 0u);
    }
    // The moved entries died with the vector, the rest with the guard.
    EXPECT_TRUE(ledger.all_released_once());
}

TEST(ArenaDropGuard, TakenBlockIsNotFreed) {
    auto block = try_allocate_block(128, 64);
    ASSERT_TRUE(block.has_value());
    std::byte* base = block->base();
    OwnedBlock back;
    {
        ArenaDropGuard<FlatStorage<SlotEntry<IntKey, Unit>>> guard(std::move(*block));
        back = guard.take_block();
    }
    EXPECT_EQ(back.base(), base);
    EXPECT_EQ(back.size(), 128u);
}

}  // namespace
