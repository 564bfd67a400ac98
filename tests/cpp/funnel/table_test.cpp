#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <unordered_map>
#include <vector>

#include "common/error/panic.hpp"
#include "funnel_support.hpp"

namespace {

using namespace tavoric::funnel;
using namespace tavoric::testing;
using tavoric::common::error::Panic;

using Table = FunnelTable<IntKey, int>;

std::optional<int> put(Table& t, std::int64_t v, int value) {
    auto r = t.insert(IntKey(v), std::move(value), t.seeds().hash(v));
    EXPECT_TRUE(r.has_value());
    return r.has_value() ? *r : std::nullopt;
}

TEST(FunnelInsert, GrowsOnlyWhenANewKeyExceedsTheBudgetAlongTheSizeSequence) {
    Table t = make_table<Table>(0);
    EXPECT_FALSE(where(t, 5).has_value());
    std::vector<std::size_t> sizes;
    for (int v = 0; v < 19265; ++v) {
        const std::size_t before = t.slot_count();
        put(t, v, v);
        if (t.slot_count() != before) {
            sizes.push_back(t.slot_count());
            expect_invariants(t);
        }
        if (v == 125) {
            // Re-inserting existing keys at full capacity replaces, never grows.
            for (int w = 0; w <= v; ++w) EXPECT_EQ(put(t, w, w + 1000), std::optional<int>(w));
            EXPECT_EQ(t.slot_count(), 144u);
            EXPECT_EQ(t.len(), 126u);
        }
    }
    EXPECT_EQ(sizes, (std::vector<std::size_t>{144, 344, 688, 1375, 2751, 5503, 11007, 22015, 44031}));
    EXPECT_EQ(t.len(), 19265u);
    for (int v = 0; v < 19265; ++v) {
        auto at = where(t, v);
        ASSERT_TRUE(at.has_value()) << v;
        ASSERT_EQ(t.entry_at(*at).value, v < 126 ? v + 1000 : v);
    }
}

TEST(FunnelInsert, ReserveGrowsOnceToAtLeastDoubleAndNeverShrinks) {
    Table t = make_table<Table>(1000);
    ASSERT_TRUE(t.reserve(0));
    ASSERT_TRUE(t.reserve(1000));
    EXPECT_EQ(t.slot_count(), 1142u);
    for (int v = 0; v < 10; ++v) put(t, v, v);
    ASSERT_TRUE(t.reserve(990));
    EXPECT_EQ(t.slot_count(), 1142u);
    ASSERT_TRUE(t.reserve(991));
    EXPECT_EQ(t.slot_count(), *smallest_admissible_slots(2000, 3));
    const std::size_t cap = t.capacity();
    ASSERT_TRUE(t.reserve(5000));
    EXPECT_GE(t.capacity(), std::max<std::size_t>(5010, 2 * cap));
    for (int v = 0; v < 10; ++v) EXPECT_TRUE(where(t, v).has_value());
    // A count beyond any table is an error value, before any change.
    auto refused = t.reserve(std::numeric_limits<std::size_t>::max());
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), TryReserveError::capacity_overflow());
    EXPECT_EQ(t.len(), 10u);
    expect_invariants(t);
}

TEST(FunnelInsert, IterationIsAscendingSlotOrder) {
    Table t = make_table<Table>(0);
    for (int v = 0; v < 300; ++v) put(t, v * 31, v);
    Table::cursor_type cursor(t.len());
    std::vector<std::size_t> slots;
    while (t.scan_next(cursor)) slots.push_back(t.cursor_location(cursor));
    ASSERT_EQ(slots.size(), 300u);
    EXPECT_TRUE(std::adjacent_find(slots.begin(), slots.end(), std::greater_equal<>()) == slots.end());
    for (std::size_t s : slots) EXPECT_TRUE(tavoric::common::arena::is_live(t.control_bytes()[s]));
}

TEST(FunnelInsert, RandomOperationsAgainstAReferenceMap) {
    std::mt19937_64 rng(2024);
    for (std::uint32_t k : {3u, 5u, 8u}) {
        Table t = make_table<Table>(0, k);
        std::unordered_map<std::int64_t, int> ref;
        for (int op = 0; op < 30000; ++op) {
            const auto v = static_cast<std::int64_t>(rng() % 3000);
            if (rng() % 10 < 6) {
                auto prev = put(t, v, op);
                auto it = ref.find(v);
                ASSERT_EQ(prev.has_value(), it != ref.end());
                if (prev) {
                    ASSERT_EQ(*prev, it->second);
                }
                ref[v] = op;
            } else if (auto at = where(t, v); at.has_value() != (ref.count(v) == 1)) {
                FAIL() << "find disagrees for " << v;
            } else if (at) {
                ASSERT_EQ(t.remove(*at).value, ref[v]);
                ref.erase(v);
            }
            ASSERT_EQ(t.len(), ref.size());
            if (op % 997 == 0) expect_invariants(t);
        }
        expect_invariants(t);
        for (auto& [key, value] : ref) ASSERT_EQ(t.entry_at(*where(t, key)).value, value);
    }
}

TEST(FunnelInsert, ExponentsWithoutATablePanicOnTheFirstKey) {
    Ledger ledger;
    for (std::uint32_t k : {28u, 29u, 40u}) {
        CountedFunnel t = make_table<CountedFunnel>(0, k);
        try {
            (void)put(t, ledger, 1);
            FAIL() << "no panic";
        } catch (const Panic& p) {
            EXPECT_EQ(p.message(), "capacity overflow");
        }
        EXPECT_EQ(t.len(), 0u);
        EXPECT_EQ(t.capacity(), 0u);
    }
    EXPECT_TRUE(ledger.all_released_once());  // the passed keys and values
}

}  // namespace
