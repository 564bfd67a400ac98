#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <unordered_set>

#include "containers.hpp"
#include "funnel_support.hpp"

namespace {

using namespace tavoric::funnel;
using namespace tavoric::testing;

static_assert(tavoric::map::TableBackend<FunnelTable<IntKey, int>>);
static_assert(tavoric::map::TableBackend<FunnelTable<CountedKey, CountedValue>>);
static_assert(tavoric::map::TableBackend<FunnelTable<IntKey, Unit>>);

TEST(FunnelContainers, SetAlgebraBasicsAndEquality) {
    auto a = try_funnel_set<IntKey>(0);
    auto b = try_funnel_set<IntKey>(500);
    ASSERT_TRUE(a.has_value() && b.has_value());
    EXPECT_NE(a->table().seeds().table, b->table().seeds().table);
    for (int v = 0; v < 400; ++v) ASSERT_EQ(a->insert(IntKey(v)), true);
    for (int v = 399; v >= 0; --v) ASSERT_EQ(b->insert(IntKey(v)), true);
    EXPECT_EQ(a->insert(IntKey(5)), false);
    EXPECT_TRUE(*a == *b);
    ASSERT_TRUE(b->remove(IntKey(77)));
    ASSERT_EQ(b->insert(IntKey(1000)), true);
    EXPECT_FALSE(*a == *b);
    expect_invariants(a->table());
    expect_invariants(b->table());

    auto bad = try_funnel_map<IntKey, int>(10, 2);
    ASSERT_FALSE(bad.has_value());
    EXPECT_EQ(bad.error().message(), "Funnel reserve exponent 2 is below the minimum 3");
}

TEST(FunnelContainers, BothSeedsZeroMakeEveryKeyCollide) {
    // Table hash 0 for every key: one probe path, fingerprint 1, fallback
    // placement beyond the path, and still an exact set.
    auto s = try_funnel_set<IntKey>(0, 3, tavoric::common::hash::HashSeeds{0, 0});
    ASSERT_TRUE(s.has_value());
    for (int v = 0; v < 600; ++v) ASSERT_EQ(s->insert(IntKey(v * 7919)), true);
    EXPECT_TRUE(s->table().displaced());
    for (int v = 0; v < 600; ++v) EXPECT_TRUE(s->contains(IntKey(v * 7919)));
    EXPECT_FALSE(s->contains(IntKey(1)));
    for (std::uint8_t c : s->table().control_bytes()) EXPECT_TRUE(c == 0 || c == 1);
    expect_invariants(s->table());
}

TEST(FunnelContainers, RandomSetOperationsWithInvariantsAfterEveryStep) {
    std::mt19937_64 rng(77);
    auto s = try_funnel_set<IntKey>(0, 4);
    ASSERT_TRUE(s.has_value());
    std::unordered_set<std::int64_t> ref;
    for (int op = 0; op < 4000; ++op) {
        const std::int64_t v = static_cast<std::int64_t>(rng() % 600);
        switch (rng() % 7) {
            case 0:
            case 1:
            case 2:
                ASSERT_EQ(*s->insert(IntKey(v)), ref.insert(v).second);
                break;
            case 3:
            case 4:
                ASSERT_EQ(s->remove(IntKey(v)), ref.erase(v) == 1);
                break;
            case 5:
                s->retain([&](const IntKey& k) {
                    bool keep = k.value % 13 != op % 13;
                    if (!keep) ref.erase(k.value);
                    return keep;
                });
                break;
            default: {
                auto drain = s->extract_if([](const IntKey&) { return true; });
                if (auto k = drain.next()) ref.erase(k->value);
            }
        }
        ASSERT_EQ(s->len(), ref.size());
        expect_invariants(s->table());
        if (::testing::Test::HasFatalFailure()) return;
    }
    std::size_t walked = 0;
    for (const IntKey& k : s->iter()) {
        ASSERT_EQ(ref.count(k.value), 1u);
        ++walked;
    }
    EXPECT_EQ(walked, ref.size());
}

TEST(FunnelSizeSearch, ShortForEveryExponent) {
    // Prints the time of the search for budget 1 (no table is allocated) and
    // checks it needed only a few dozen geometry attempts.
    for (std::uint32_t k = 3; k <= 31; ++k) {
        auto start = std::chrono::steady_clock::now();
        auto n = smallest_admissible_slots(1, k);
        auto micros = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
        std::printf("size search k=%2u: %10s slots, %3zu attempts, %6lld us\n", k,
                    n ? std::to_string(*n).c_str() : "none", size_search_attempts(),
                    static_cast<long long>(micros.count()));
        EXPECT_LT(size_search_attempts(), 100u) << k;
        if (k >= 12 && k <= 27) {
            ASSERT_TRUE(n.has_value()) << k;
            const double ratio = static_cast<double>(*n) / static_cast<double>(std::size_t{1} << k);
            EXPECT_NEAR(ratio, 26.67, 0.1) << k;
        }
    }
}

}  // namespace
