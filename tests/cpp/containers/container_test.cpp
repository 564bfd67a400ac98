// The map and set containers over a minimal TableBackend, apart from either
// design: 24 slots of linear probing scanned as two regions of 13 and 11
// (neither a multiple of 8), at most 20 entries, no growth; it counts remove
// and finish_deferred_removals calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <expected>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "../common/test_keys.hpp"
#include "common/arena/arena_slots.hpp"
#include "common/error/panic.hpp"
#include "elastic/table.hpp"
#include "funnel/table.hpp"
#include "map/hash_map.hpp"
#include "map/table_backend.hpp"
#include "set/hash_set.hpp"

namespace {

using namespace tavoric::testing;
namespace common = tavoric::common;
namespace map = tavoric::map;

template <class K, class V>
class ToyTable {
public:
    using key_type = K;
    using value_type = V;
    using entry_type = common::arena::SlotEntry<K, V>;
    using location_type = std::size_t;
    using cursor_type = common::iter::Cursor<entry_type>;
    static constexpr std::size_t kSlots = 24, kFirstRegion = 13, kCapacity = 20;

    explicit ToyTable(common::hash::HashSeeds seeds) : seeds_(seeds), ctrl_(new std::uint8_t[kSlots]()), raw_(new Raw) {}
    ToyTable(ToyTable&&) noexcept = default;
    ~ToyTable() { ctrl_ ? clear() : void(); }

    std::expected<std::optional<V>, map::TryReserveError> insert(K key, V value, std::uint64_t hash) {
        if (auto at = find(key, hash)) return std::optional<V>(std::exchange(slots()[*at].value, std::move(value)));
        if (len_ == kCapacity) return std::unexpected(map::TryReserveError::alloc_error());
        std::size_t i = hash % kSlots;
        while (common::arena::is_live(ctrl_[i])) i = (i + 1) % kSlots;
        std::construct_at(&slots()[i], std::move(key), std::move(value));
        return ctrl_[i] = common::arena::fingerprint_of(hash), ++len_, std::optional<V>();
    }
    std::expected<void, map::TryReserveError> insert_distinct(K key, V value, std::uint64_t hash) {
        auto done = insert(std::move(key), std::move(value), hash);
        if (!done) return std::unexpected(done.error());
        return {};
    }
    template <class Q>
    std::optional<std::size_t> find(const Q& probe, std::uint64_t hash) const {
        for (std::size_t n = 0, i = hash % kSlots; n < kSlots && ctrl_[i] != common::arena::kEmpty; ++n, i = (i + 1) % kSlots)
            if (ctrl_[i] == common::arena::fingerprint_of(hash) && probe.matches(slots()[i].key)) return i;
        return std::nullopt;
    }
    entry_type& entry_at(std::size_t i) noexcept { return slots()[i]; }
    const entry_type& entry_at(std::size_t i) const noexcept { return slots()[i]; }
    entry_type remove(std::size_t i) { return ++removals_, remove_deferred(i); }
    entry_type remove_deferred(std::size_t i) {
        entry_type out(std::move(slots()[i]));
        std::destroy_at(&slots()[i]);
        ctrl_[i] = common::arena::kTombstone, --len_;
        return out;
    }
    void finish_deferred_removals() noexcept { ++finish_calls_; }
    std::expected<void, map::TryReserveError> reserve(std::size_t additional) {
        if (additional > kCapacity - len_) return std::unexpected(map::TryReserveError::capacity_overflow());
        return {};
    }
    void clear() noexcept { common::arena::FlatStorage<entry_type>{ctrl_.get(), slots(), kSlots}.drop_all_values(), len_ = 0; }
    std::size_t len() const noexcept { return len_; }
    std::size_t capacity() const noexcept { return kCapacity; }
    common::hash::HashSeeds seeds() const noexcept { return seeds_; }
    std::uint32_t reserve_exponent() const noexcept { return 0; }
    std::size_t heap_bytes() const noexcept { return 0; }
    entry_type* scan_next(cursor_type& cursor) const {
        return cursor.next([this](cursor_type& c) {
            const std::size_t r = c.regions_entered(), start = r == 0 ? 0 : kFirstRegion;
            if (r <= 1) c.enter_region(ctrl_.get() + start, r == 0 ? kFirstRegion : kSlots - kFirstRegion, slots() + start);
            return r <= 1;
        });
    }
    std::size_t cursor_location(const cursor_type& c) const noexcept { return (c.regions_entered() == 2 ? kFirstRegion : 0) + c.last_slot(); }
    int finish_calls() const { return finish_calls_; }
    int removals() const { return removals_; }

private:
    struct Raw {  // uninitialised storage for the slots
        alignas(entry_type) std::byte bytes[kSlots * sizeof(entry_type)];
    };
    entry_type* slots() const noexcept { return reinterpret_cast<entry_type*>(raw_->bytes); }

    common::hash::HashSeeds seeds_;
    std::unique_ptr<std::uint8_t[]> ctrl_;
    std::unique_ptr<Raw> raw_;
    std::size_t len_ = 0;
    int finish_calls_ = 0, removals_ = 0;
};

using tavoric::common::arena::Unit;
using tavoric::common::hash::HashSeeds;
using tavoric::common::hash::table_hash;
using CountedMap = tavoric::map::HashMap<CountedKey, CountedValue, ToyTable<CountedKey, CountedValue>>;
using IntSet = tavoric::set::HashSet<IntKey, ToyTable<IntKey, Unit>>;
static_assert(tavoric::map::TableBackend<ToyTable<IntKey, Unit>>);

constexpr HashSeeds kSeeds{0x1234, 0x9E3779B97F4A7C15ULL};
using Values = std::vector<std::int64_t>;

TEST(TableHash, PinnedValuesAndZeroSeeds) {
    EXPECT_EQ(table_hash(12345, 0xDEADBEEFCAFEF00DULL, 0x0123456789ABCDEFULL), 0xca013742bb56b364ULL);
    // A negative hash enters as its unsigned machine-word pattern.
    EXPECT_EQ(table_hash(-2, 0, 0x0123456789ABCDEFULL), 0x0365cfa89afc5633ULL);
    EXPECT_EQ(table_hash(-2, 0x55, 0x9E3779B97F4A7C15ULL), 0x165c142a3cf14ed0ULL);
    for (std::intptr_t h : {0L, 1L, -2L, 123456789L}) EXPECT_EQ(table_hash(h, 0, 0), 0u);
    EXPECT_NE((HashSeeds{1, 0x9E3779B97F4A7C15ULL}.hash(77)), (HashSeeds{2, 0x9E3779B97F4A7C15ULL}.hash(77)));
}

TEST(HashMapContainer, InsertGetRemoveAndIterate) {
    Ledger ledger;
    {
        CountedMap map{ToyTable<CountedKey, CountedValue>(kSeeds)};
        for (int v = 0; v < 6; ++v) ASSERT_TRUE(map.insert(CountedKey(ledger, v, 42), CountedValue(ledger, v)));
        // Replacing keeps the stored key, releases the passed one and hands back the old value.
        CountedKey again(ledger, 5, 42);
        const std::int64_t stored_id = map.get(IntKey(5, 42))->key.id(), again_id = again.id();
        auto old = map.insert(std::move(again), CountedValue(ledger, 51));
        ASSERT_TRUE(old.has_value() && old->has_value());
        EXPECT_EQ(Values({(*old)->payload(), ledger.times_released(again_id), ledger.times_released((*old)->id()), map.get(IntKey(5, 42))->key.id(),
                          map.get(IntKey(5, 42))->value.payload(), std::int64_t(map.len())}),
                  Values({5, 1, 0, stored_id, 51, 6}));
        EXPECT_FALSE(map.contains(IntKey(6, 42)) || map.contains(IntKey(3, 43)));  // absent; right value, other hash
        EXPECT_EQ(map.remove(IntKey(3, 42))->payload(), 3);
        EXPECT_TRUE(!map.remove(IntKey(3, 42)).has_value() && map.table().removals() == 1);
        for (int v = 7; v < 20; ++v) ASSERT_TRUE(map.insert(CountedKey(ledger, v * 7), CountedValue(ledger, v)));
        Values seen;
        for (const auto& entry : map.iter()) seen.push_back(entry.key.value());
        std::sort(seen.begin(), seen.end());
        EXPECT_EQ(seen, (Values{0, 1, 2, 4, 5, 49, 56, 63, 70, 77, 84, 91, 98, 105, 112, 119, 126, 133}));
    }
    EXPECT_TRUE(ledger.all_released_once());
}

TEST(HashMapContainer, ExtractIfAndRetainRunOneCheckWhetherDroppedExhaustedOrInterrupted) {
    Ledger ledger;
    {
        CountedMap map{ToyTable<CountedKey, CountedValue>(kSeeds)};
        for (int v = 0; v < 20; ++v) ASSERT_TRUE(map.insert(CountedKey(ledger, v), CountedValue(ledger, v * 10)));
        {
            auto drain = map.extract_if([](const CountedKey&, CountedValue&) { return true; });
            auto first = drain.next();
            ASSERT_TRUE(first.has_value());
            EXPECT_TRUE(!map.contains(IntKey(first->key.value())) && map.table().finish_calls() == 0);
        }
        EXPECT_TRUE(map.len() == 19u && map.table().finish_calls() == 1);
        std::size_t taken = 0;
        {
            auto drain = map.extract_if([](const CountedKey& k, CountedValue& v) { return k.value() % 2 == 0 && v.payload() == k.value() * 10; });
            while (drain.next()) ++taken;
            EXPECT_TRUE(map.table().finish_calls() == 2 && !drain.next().has_value());
        }
        EXPECT_TRUE(map.table().finish_calls() == 2 && taken == 9u);
        map.retain([](const CountedKey& k, CountedValue&) { return k.value() >= 10; });
        EXPECT_EQ(map.table().finish_calls(), 3);
        for (int v = 0; v < 20; ++v) EXPECT_EQ(map.contains(IntKey(v)), v >= 10 && v % 2 == 1);
        int calls = 0;
        EXPECT_THROW(map.retain([&](const CountedKey&, CountedValue&) {
            if (++calls == 3) tavoric::common::error::panic("predicate failed");
            return false;
        }),
                     tavoric::common::error::Panic);
        // drains and retains remove deferred, closed by one check
        EXPECT_TRUE(map.table().finish_calls() == 4 && map.table().removals() == 0 && map.len() == 3u && ledger.none_released_twice());
    }
    EXPECT_TRUE(ledger.all_released_once());
}

TEST(HashSetContainer, InsertRemoveDrainAndEqualityAcrossSeeds) {
    IntSet set{ToyTable<IntKey, Unit>(kSeeds)};
    EXPECT_TRUE(*set.insert(IntKey(1)) && !*set.insert(IntKey(1)) && set.remove(IntKey(1)) && !set.remove(IntKey(1)));
    EXPECT_EQ(set.table().removals(), 1);
    for (int v = 10; v < 15; ++v) ASSERT_TRUE(set.insert(IntKey(v)));
    set.retain([](const IntKey& k) { return k.value != 12; });
    {
        auto drain = set.extract_if([](const IntKey& k) { return k.value > 10; });
        Values got;
        while (auto k = drain.next()) got.push_back(k->value);
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, (Values{11, 13, 14}));
    }
    Values walked;
    for (const IntKey& k : set.iter()) walked.push_back(k.value);
    EXPECT_EQ(walked, (Values{10}));
    IntSet a{ToyTable<IntKey, Unit>(HashSeeds{1, 0x9E3779B97F4A7C15ULL})};
    IntSet b{ToyTable<IntKey, Unit>(HashSeeds{2, 0x0123456789ABCDEFULL})};
    for (int v = 0; v < 8; ++v) ASSERT_TRUE(a.insert(IntKey(v)) && b.insert(IntKey(7 - v)));
    EXPECT_TRUE(a == b && b == a);
    ASSERT_TRUE(b.remove(IntKey(3)) && b.insert(IntKey(30)));
    EXPECT_FALSE(a == b);  // same length, other keys
    ASSERT_TRUE(b.remove(IntKey(30)));
    EXPECT_FALSE(a == b);  // lengths differ
}

// Sets over either design: equal across seeds, sizes and insertion orders; clear and reserve.
template <class Table>
class DesignSets : public ::testing::Test {};
using DesignTables = ::testing::Types<tavoric::funnel::FunnelTable<IntKey, Unit>, tavoric::elastic::ElasticTable<IntKey, Unit>>;
TYPED_TEST_SUITE(DesignSets, DesignTables);

template <class Table>
Table design_table(std::size_t budget, HashSeeds seeds = HashSeeds::fresh()) {
    if constexpr (requires { Table::try_with_insert_budget(budget, 3, seeds); })
        return std::move(*Table::try_with_insert_budget(budget, 3, seeds));
    else
        return std::move(*Table::try_with_capacity_and_reserve_and_hasher_in(budget, 3, seeds));
}

TYPED_TEST(DesignSets, EqualityAcrossSeedsSizesAndOrders) {
    auto make = [](std::size_t budget) { return design_table<TypeParam>(budget); };
    tavoric::set::HashSet<IntKey, TypeParam> a(make(0)), b(make(500));
    for (int v = 0; v < 400; ++v) ASSERT_TRUE(*a.insert(IntKey(v)) && *b.insert(IntKey(399 - v)));
    EXPECT_TRUE(!*a.insert(IntKey(5)) && a == b);
    ASSERT_TRUE(b.remove(IntKey(77)) && *b.insert(IntKey(1000)));
    EXPECT_FALSE(a == b);
    a.clear();
    EXPECT_FALSE(a.contains(IntKey(1)));
    ASSERT_TRUE(a.reserve(1000).has_value() && a.capacity() >= 1000u);
}

// add() builds its key only for a key it stores, and stores it where insert()
// would: two sets with the same seeds, growing from empty, one filled by
// each, hold their keys in the same order.
TYPED_TEST(DesignSets, AddBuildsTheKeyOnlyWhenItStoresItWhereInsertWould) {
    tavoric::set::HashSet<IntKey, TypeParam> inserted(design_table<TypeParam>(0, kSeeds)),
        added(design_table<TypeParam>(0, kSeeds));
    int built = 0;
    for (int i = 0; i < 600; ++i) {
        const int v = (i * 7) % 450;  // 450 keys, 150 of them twice
        const bool stored = *added.add(IntKey(v), [&] { return ++built, IntKey(v); });
        ASSERT_EQ(stored, *inserted.insert(IntKey(v))) << v;
    }
    EXPECT_EQ(built, 450);
    std::vector<std::int64_t> a, b;
    for (const IntKey& k : inserted.iter()) a.push_back(k.value);
    for (const IntKey& k : added.iter()) b.push_back(k.value);
    EXPECT_EQ(a, b);
}

}  // namespace
