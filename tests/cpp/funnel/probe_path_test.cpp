#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <vector>

#include "funnel_support.hpp"

namespace {

using namespace tavoric::funnel;
using namespace tavoric::testing;

constexpr std::uint64_t kHash = 0x123456789ABCDEF1ULL;

TEST(FunnelProbePath, WorkedKeyIn1142SlotTable) {
    using Table = FunnelTable<IntKey, void*>;
    Table table = make_table<Table>(1000, 3, kIdentitySeeds);
    ASSERT_EQ(table.inspect().slot_count(), 1142u);
    ASSERT_EQ(table.seeds().hash(static_cast<std::intptr_t>(kHash)), kHash);
    const ProbeKey pk = ProbeKey::of(kHash);
    EXPECT_EQ(pk.base, 0x8CC411EA630B01DDULL);
    EXPECT_EQ(pk.mix, 0xF8EAC9DD9770E15DULL);
    const FunnelShape& s = table.inspect().shape();
    std::vector<std::uint64_t> buckets, uniform;
    for (std::size_t i = 0; i < 6; ++i)
        buckets.push_back(*pk.position(s.levels[i].selector, s.levels[i].bucket_count, s.levels[i].threshold));
    EXPECT_EQ(buckets, (std::vector<std::uint64_t>{13, 13, 23, 3, 1, 2}));
    for (std::uint64_t j = 0; j < s.uniform_probes; ++j)
        uniform.push_back(*pk.position(kUniformSelector | (j << 8), s.uniform_size, s.uniform_threshold));
    EXPECT_EQ(uniform, (std::vector<std::uint64_t>{7, 4, 14, 13}));
    EXPECT_EQ(*pk.position(kFirstChoiceSelector, s.two_choice_buckets, s.two_choice_threshold), 3u);
    EXPECT_EQ(*pk.position(kSecondChoiceSelector, s.two_choice_buckets, s.two_choice_threshold), 4u);
    const FilterBits bits = FilterBits::of(kHash, table.inspect().filter_words().size());
    EXPECT_EQ(bits.word, 8u);
    EXPECT_EQ(bits.mask, (std::uint64_t{1} << 49) | (std::uint64_t{1} << 56));

    // Keys sharing the table hash walk one path: level 0's bucket 13 first
    // (slots 78..83), then level 1's bucket 13 (264 + 78 = 342..347).
    auto key = [](std::int64_t v) { return IntKey(v, static_cast<std::intptr_t>(kHash)); };
    std::vector<std::size_t> slots;
    for (int v = 0; v < 8; ++v) {
        ASSERT_TRUE(table.insert(key(v), nullptr, kHash));
        slots.push_back(*table.find(key(v), kHash));
    }
    EXPECT_EQ(slots, (std::vector<std::size_t>{78, 79, 80, 81, 82, 83, 342, 343}));
    EXPECT_EQ(table.inspect().control_bytes()[78], 9);
    EXPECT_EQ(table.inspect().filter_words()[8], bits.mask);
    auto found = table.inspect().search(key(1), kHash, 9);
    EXPECT_EQ(found.outcome, SearchOutcome::Found);
    EXPECT_EQ(found.slot, 79u);
    auto vacant = table.inspect().search(key(50), kHash, 9);
    EXPECT_EQ(vacant.outcome, SearchOutcome::Vacant);
    EXPECT_EQ(vacant.slot, 344u);
    // A removed slot is the first free one on the path and is reused.
    EXPECT_EQ(table.remove(*table.find(key(2), kHash)).key.value, 2);
    EXPECT_TRUE(table.find(key(7), kHash).has_value());  // behind it
    ASSERT_TRUE(table.insert(key(50), nullptr, kHash));
    EXPECT_EQ(*table.find(key(50), kHash), 80u);
    EXPECT_EQ(table.inspect().tombstones(), 0u);
    expect_invariants(table);
    Table empty = make_table<Table>(0, 3, kIdentitySeeds);
    EXPECT_EQ(empty.inspect().search(key(1), kHash, 9).outcome, SearchOutcome::NoSlot);
}

// The slots of a key's probe path in walk order, built from the positions
// one by one: every level's bucket, the uniform probes, then the two
// two-choice buckets in lock step. Empty when a probe is rejected eight
// times (never for these tables).
template <class Table>
std::vector<std::size_t> reference_path(const Table& table, std::uint64_t hash) {
    const FunnelShape& s = table.inspect().shape();
    const ProbeKey pk = ProbeKey::of(hash);
    std::vector<std::size_t> path;
    for (std::size_t i = 0; i < s.level_count; ++i) {
        auto b = pk.position(s.levels[i].selector, s.levels[i].bucket_count, s.levels[i].threshold);
        if (!b) return {};
        for (std::size_t x = 0; x < s.bucket_width; ++x) path.push_back(s.levels[i].start + *b * s.bucket_width + x);
    }
    for (std::uint64_t j = 0; j < s.uniform_probes; ++j) {
        auto u = pk.position(kUniformSelector | (j << 8), s.uniform_size, s.uniform_threshold);
        if (!u) return {};
        path.push_back(s.uniform_start + *u);
    }
    auto b1 = pk.position(kFirstChoiceSelector, s.two_choice_buckets, s.two_choice_threshold);
    auto b2 = pk.position(kSecondChoiceSelector, s.two_choice_buckets, s.two_choice_threshold);
    if (!b1 || !b2) return {};
    for (std::size_t x = 0; x < s.two_choice_width; ++x) {
        path.push_back(s.two_choice_start + *b1 * s.two_choice_width + x);
        path.push_back(s.two_choice_start + *b2 * s.two_choice_width + x);
    }
    return path;
}

// Lookups skip tombstone bookkeeping and compute the first levels' buckets
// ahead; insertions track the first tombstone. Both must still answer
// exactly what a slot-by-slot walk of the path answers, for buckets of one
// group (k = 3), of a group and a part (k = 5) and of two groups (k = 8),
// with tombstones scattered over the paths.
TEST(FunnelProbePath, FastWalksAgreeWithASlotBySlotWalk) {
    using Table = FunnelTable<IntKey, int>;
    for (std::uint32_t k : {3u, 5u, 8u}) {
        auto made = Table::try_with_insert_budget(6000, k, kTestSeeds);
        ASSERT_TRUE(made.has_value());
        Table& table = *made;
        std::mt19937_64 rng(k);
        std::vector<std::int64_t> stored;
        while (table.len() < table.capacity()) {
            const auto v = static_cast<std::int64_t>(rng() >> 1);
            IntKey key(v);
            ASSERT_TRUE(table.insert(key, 0, table.seeds().hash(key.cached_hash())).has_value());
            stored.push_back(v);
        }
        // Remove every fifth key: fewer than the purge threshold, so the
        // tombstones stay where they are.
        std::vector<std::int64_t> kept;
        for (std::size_t i = 0; i < stored.size(); ++i) {
            IntKey key(stored[i]);
            if (i % 5 == 0) {
                table.remove_deferred(*table.find(key, table.seeds().hash(key.cached_hash())));
            } else {
                kept.push_back(stored[i]);
            }
        }
        ASSERT_GT(table.inspect().tombstones(), 0u);
        const auto ctrl = table.inspect().control_bytes();
        auto check = [&](std::int64_t v, bool present) {
            IntKey key(v);
            const std::uint64_t h = table.seeds().hash(key.cached_hash());
            const std::uint8_t fp = tavoric::common::arena::fingerprint_of(h);
            const auto path = reference_path(table, h);
            ASSERT_FALSE(path.empty());
            std::optional<std::size_t> found, first_tomb, first_empty;
            for (std::size_t slot : path) {
                if (ctrl[slot] == tavoric::common::arena::kEmpty) {
                    first_empty = slot;
                    break;
                }
                if (ctrl[slot] == tavoric::common::arena::kTombstone) {
                    if (!first_tomb) first_tomb = slot;
                } else if (ctrl[slot] == fp && table.entry_at(slot).key.value == v) {
                    found = slot;
                    break;
                }
            }
            ASSERT_EQ(found.has_value(), present) << "k=" << k << " key " << v;
            EXPECT_EQ(table.find(key, h), found) << "k=" << k << " key " << v;
            const SearchResult walk = table.inspect().search(key, h, fp);
            if (found) {
                EXPECT_EQ(walk.outcome, SearchOutcome::Found);
                EXPECT_EQ(walk.slot, *found);
            } else if (first_tomb || first_empty) {
                EXPECT_EQ(walk.outcome, SearchOutcome::Vacant) << "k=" << k << " key " << v;
                EXPECT_EQ(walk.slot, first_tomb ? *first_tomb : *first_empty) << "k=" << k << " key " << v;
            } else {
                EXPECT_EQ(walk.outcome, SearchOutcome::NoSlot);
            }
        };
        for (std::int64_t v : kept) check(v, true);
        for (std::size_t i = 0; i < stored.size(); i += 5) check(stored[i], false);
        for (int i = 0; i < 2000; ++i) check(static_cast<std::int64_t>(rng() >> 1), false);
        expect_invariants(table);
    }
}

}  // namespace
