#include <gtest/gtest.h>

#include <vector>

#include "common/arena/aligned_block.hpp"
#include "funnel_support.hpp"

namespace {

using namespace tavoric::funnel;
using namespace tavoric::testing;
using tavoric::common::arena::AllocationFaults;

// Slots of all keys 0..count-1, to show a failed operation moved nothing.
std::vector<std::size_t> slots_of(const CountedFunnel& t, int count) {
    std::vector<std::size_t> out;
    for (int v = 0; v < count; ++v) out.push_back(where(t, v).value_or(SIZE_MAX));
    return out;
}

TEST(FunnelFailures, RefusedGrowthLeavesTheTableAsItWas) {
    for (long which : {0L, 1L}) {  // the level array, then the block
        Ledger ledger;
        {
            CountedFunnel t = make_table<CountedFunnel>(126);
            for (int v = 0; v < 126; ++v) ASSERT_TRUE(put(t, ledger, v).has_value());
            const auto before = slots_of(t, 126);
            const auto* block = t.block().base();
            const std::int64_t created = ledger.created();
            AllocationFaults::fail_after(which);
            auto r = put(t, ledger, 500);
            AllocationFaults::disarm();
            ASSERT_FALSE(r.has_value());
            EXPECT_EQ(r.error(), TryReserveError::alloc_error());
            // The passed key and value are released, nothing else.
            EXPECT_EQ(ledger.times_released(created), 1);
            EXPECT_EQ(ledger.times_released(created + 1), 1);
            EXPECT_EQ(ledger.released_count(), 2u);
            EXPECT_EQ(t.len(), 126u);
            EXPECT_EQ(t.block().base(), block);
            EXPECT_EQ(slots_of(t, 126), before);
            expect_invariants(t);

            AllocationFaults::fail_after(which);
            auto reserved = t.reserve(1000);
            AllocationFaults::disarm();
            ASSERT_FALSE(reserved.has_value());
            EXPECT_EQ(slots_of(t, 126), before);
            // Replacing needs no allocation even at full capacity.
            AllocationFaults::fail_after(0);
            auto replaced = put(t, ledger, 3);
            AllocationFaults::disarm();
            ASSERT_TRUE(replaced.has_value() && replaced->has_value());
            // Once memory is there again the same insertion succeeds.
            ASSERT_TRUE(put(t, ledger, 500).has_value());
            EXPECT_EQ(t.slot_count(), 344u);
            expect_invariants(t);
        }
        EXPECT_TRUE(ledger.all_released_once());
    }
}

TEST(FunnelFailures, RefusedPurgeIsSkippedAndRetriedLater) {
    Ledger ledger;
    {
        CountedFunnel t = make_table<CountedFunnel>(126);
        for (int v = 0; v < 126; ++v) ASSERT_TRUE(put(t, ledger, v).has_value());
        for (int v = 0; v < 104; ++v) { auto e = t.remove(*where(t, v)); }
        AllocationFaults::fail_after(0);
        { auto e = t.remove(*where(t, 104)); }
        AllocationFaults::disarm();
        EXPECT_EQ(t.tombstones(), 105u);
        expect_invariants(t);
        { auto e = t.remove(*where(t, 105)); }
        EXPECT_EQ(t.tombstones(), 0u);
        expect_invariants(t);
        for (int v = 106; v < 126; ++v) EXPECT_TRUE(where(t, v).has_value());
    }
    EXPECT_TRUE(ledger.all_released_once());
}

#if !defined(__SANITIZE_ADDRESS__)
TEST(FunnelFailures, ExponentTwentySevenCannotBeAllocated) {
    // 3579139460 slots of 16-byte set entries is about 60 GB: the system
    // refuses (or the block bound does), and that is an allocation failure.
    auto t = FunnelTable<IntKey, Unit>::try_with_insert_budget(1, 27, kTestSeeds);
    if (t.has_value()) GTEST_SKIP() << "this machine granted a 60 GB block";
    EXPECT_EQ(t.error(), TryBuildError::alloc_error());
}
#endif

}  // namespace
