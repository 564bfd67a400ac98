#include <gtest/gtest.h>

#include <vector>

#include "funnel_support.hpp"

namespace {

using namespace tavoric::funnel;
using namespace tavoric::testing;

constexpr std::uint64_t kHash = 0x123456789ABCDEF1ULL;

TEST(FunnelProbePath, WorkedKeyIn1142SlotTable) {
    auto table = FunnelTable<IntKey, void*>::try_with_insert_budget(1000, 3, kIdentitySeeds);
    ASSERT_TRUE(table.has_value());
    ASSERT_EQ(table->slot_count(), 1142u);
    ASSERT_EQ(table->seeds().hash(static_cast<std::intptr_t>(kHash)), kHash);

    EXPECT_EQ(tavoric::common::arena::fingerprint_of(kHash), 9);
    const ProbeKey pk = ProbeKey::of(kHash);
    EXPECT_EQ(pk.base, 0x8CC411EA630B01DDULL);
    EXPECT_EQ(pk.mix, 0xF8EAC9DD9770E15DULL);

    const FunnelShape& s = table->shape();
    std::vector<std::uint64_t> buckets;
    for (std::size_t i = 0; i < 6; ++i) {
        buckets.push_back(*pk.position(s.levels[i].selector, s.levels[i].bucket_count, s.levels[i].threshold));
    }
    EXPECT_EQ(buckets, (std::vector<std::uint64_t>{13, 13, 23, 3, 1, 2}));
    EXPECT_EQ(s.levels[0].start + buckets[0] * s.bucket_width, 78u);

    std::vector<std::uint64_t> uniform;
    for (std::uint64_t j = 0; j < s.uniform_probes; ++j) {
        uniform.push_back(*pk.position(kUniformSelector | (j << 8), s.uniform_size, s.uniform_threshold));
    }
    EXPECT_EQ(uniform, (std::vector<std::uint64_t>{7, 4, 14, 13}));
    EXPECT_EQ(*pk.position(kFirstChoiceSelector, s.two_choice_buckets, s.two_choice_threshold), 3u);
    EXPECT_EQ(*pk.position(kSecondChoiceSelector, s.two_choice_buckets, s.two_choice_threshold), 4u);

    const FilterBits bits = FilterBits::of(kHash, table->filter_words().size());
    EXPECT_EQ(bits.word, 8u);
    EXPECT_EQ(bits.mask, (std::uint64_t{1} << 49) | (std::uint64_t{1} << 56));

    auto r = table->insert(IntKey(1, static_cast<std::intptr_t>(kHash)), nullptr, kHash);
    ASSERT_TRUE(r.has_value());
    auto at = table->find(IntKey(1, static_cast<std::intptr_t>(kHash)), kHash);
    ASSERT_TRUE(at.has_value());
    EXPECT_EQ(*at, 78u);
    EXPECT_EQ(table->control_bytes()[78], 9);
    EXPECT_EQ(table->filter_words()[8], (std::uint64_t{1} << 49) | (std::uint64_t{1} << 56));
    expect_invariants(*table);

    // The same walk reports the stored key, and a vacancy for another key.
    auto found = table->search_exact_mode(IntKey(1, static_cast<std::intptr_t>(kHash)), kHash, 9);
    EXPECT_EQ(found.outcome, SearchOutcome::Found);
    EXPECT_EQ(found.slot, 78u);
    auto vacant = table->search_exact_for_insert(IntKey(2, static_cast<std::intptr_t>(kHash)), kHash, 9);
    EXPECT_EQ(vacant.outcome, SearchOutcome::Vacant);
    EXPECT_EQ(vacant.slot, 79u);

    auto empty = FunnelTable<IntKey, void*>::try_with_insert_budget(0, 3, kIdentitySeeds);
    EXPECT_EQ(empty->search_exact_for_insert(IntKey(1), kHash, 9).outcome, SearchOutcome::NoSlot);
}

TEST(FunnelProbePath, SameHashKeysFillTheirPathInOrder) {
    // Keys sharing one table hash walk one path: level 0's bucket first
    // (slots 78..83), then level 1's bucket 13 (264 + 78 = 342..347).
    auto table = FunnelTable<IntKey, void*>::try_with_insert_budget(1000, 3, kIdentitySeeds);
    std::vector<std::size_t> slots;
    for (int v = 0; v < 8; ++v) {
        ASSERT_TRUE(table->insert(IntKey(v, static_cast<std::intptr_t>(kHash)), nullptr, kHash));
        slots.push_back(*table->find(IntKey(v, static_cast<std::intptr_t>(kHash)), kHash));
    }
    EXPECT_EQ(slots, (std::vector<std::size_t>{78, 79, 80, 81, 82, 83, 342, 343}));
    // A removed slot is the first free one on the path and is reused.
    auto removed = table->remove(*table->find(IntKey(2, static_cast<std::intptr_t>(kHash)), kHash));
    EXPECT_EQ(removed.key.value, 2);
    EXPECT_EQ(table->tombstones(), 1u);
    EXPECT_TRUE(table->find(IntKey(7, static_cast<std::intptr_t>(kHash)), kHash).has_value());  // behind it
    ASSERT_TRUE(table->insert(IntKey(50, static_cast<std::intptr_t>(kHash)), nullptr, kHash));
    EXPECT_EQ(*table->find(IntKey(50, static_cast<std::intptr_t>(kHash)), kHash), 80u);
    EXPECT_EQ(table->tombstones(), 0u);
    expect_invariants(*table);
}

}  // namespace
