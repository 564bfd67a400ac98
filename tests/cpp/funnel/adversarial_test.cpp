#include <gtest/gtest.h>

#include <map>

#include "funnel_support.hpp"

namespace {

using namespace tavoric::funnel;
using namespace tavoric::testing;

TEST(FunnelAdversarial, ConstantHashUsesFallbackAndStaysCorrect) {
    Ledger ledger;
    {
        CountedFunnel t = make_table<CountedFunnel>(0);
        const std::uint64_t h = t.seeds().hash(7);
        auto put7 = [&](std::int64_t v) { ASSERT_TRUE(t.insert(CountedKey(ledger, v, 7), CountedValue(ledger, v), h)); };
        for (int v = 0; v < 1000; ++v) {
            put7(v);
            if (v % 50 == 0) expect_invariants(t);
        }
        EXPECT_TRUE(t.displaced());
        expect_invariants(t);
        for (int v = 0; v < 1000; ++v) ASSERT_TRUE(where(t, v, 7).has_value()) << v;
        EXPECT_FALSE(where(t, 1000, 7).has_value());
        put7(999);  // replacing a displaced key finds it through the full scan
        EXPECT_EQ(t.len(), 1000u);
        // Remove most of them: purges rebuild with the fallback again.
        for (int v = 0; v < 900; ++v) ASSERT_EQ(t.remove(*where(t, v, 7)).key.value(), v);
        expect_invariants(t);
        for (int v = 900; v < 1000; ++v) ASSERT_TRUE(where(t, v, 7).has_value()) << v;
        EXPECT_EQ(static_cast<std::size_t>(ledger.created()) - ledger.released_count(), 2 * t.len());
        t.clear();  // back to a clean table: clear drops the displaced mark
        EXPECT_FALSE(t.displaced());
        put7(1);
        EXPECT_TRUE(where(t, 1, 7).has_value());
    }
    EXPECT_TRUE(ledger.all_released_once());
}

// ---- an equality whose answers change ---------------------------------------

enum class Mood { Honest, EqualToAll, EqualToNone };
Mood g_mood = Mood::Honest;

class MoodyKey {
public:
    MoodyKey(Ledger& ledger, std::int64_t v) : inner_(ledger, v, static_cast<std::intptr_t>(v % 5)) {}
    std::intptr_t cached_hash() const noexcept { return inner_.cached_hash(); }
    bool matches(const MoodyKey& stored) const {
        return g_mood == Mood::Honest ? inner_.matches(stored.inner_) : g_mood == Mood::EqualToAll;
    }
    std::int64_t id() const { return inner_.id(); }

private:
    CountedKey inner_;
};

TEST(FunnelAdversarial, ChangingEqualityNeverLosesOrDuplicatesEntries) {
    Ledger ledger;
    {
        using Moody = FunnelTable<MoodyKey, CountedValue>;
        Moody t = make_table<Moody>(0);
        // No objects live outside the table, so every unreleased object is a
        // key or a value stored in it, and each stored key object once.
        auto conserved = [&] {
            EXPECT_EQ(static_cast<std::size_t>(ledger.created()) - ledger.released_count(), 2 * t.len());
            EXPECT_TRUE(ledger.none_released_twice());
            std::map<std::int64_t, int> ids;
            Moody::cursor_type c(t.len());
            while (auto* e = t.scan_next(c)) ++ids[e->key.id()];
            EXPECT_EQ(ids.size(), t.len());
            for (auto& [id, times] : ids) EXPECT_EQ(times, 1) << "key object " << id << " stored twice";
            expect_invariants(t, /*keys_distinct=*/false);
        };
        auto put = [&](std::int64_t v) {
            MoodyKey key(ledger, v);
            const std::uint64_t h = t.seeds().hash(key.cached_hash());
            ASSERT_TRUE(t.insert(std::move(key), CountedValue(ledger, v), h).has_value());
        };
        for (int v = 0; v < 100; ++v) put(v);
        conserved();
        g_mood = Mood::EqualToNone;  // every insertion is a new key: growth with "duplicates"
        for (int v = 0; v < 400; ++v) put(v % 100);
        conserved();
        EXPECT_EQ(t.len(), 500u);
        g_mood = Mood::EqualToAll;  // insertions replace whatever matches first
        for (int v = 0; v < 300; ++v) put(1000 + v);
        conserved();
        // Rebuilds while everything compares equal keep every entry.
        const std::size_t before = t.len();
        ASSERT_TRUE(t.reserve(t.capacity() + 1));
        EXPECT_EQ(t.len(), before);
        conserved();
        g_mood = Mood::Honest;
        for (int v = 0; v < 100; ++v)
            if (auto at = t.find(MoodyKey(ledger, v), t.seeds().hash(v % 5))) { auto e = t.remove(*at); }
        conserved();
    }
    g_mood = Mood::Honest;
    EXPECT_TRUE(ledger.all_released_once());
}

}  // namespace
