#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "funnel_support.hpp"

namespace {

using namespace tavoric::funnel;
using namespace tavoric::testing;

// ---- every key has the same hash -------------------------------------------

using Counted = FunnelTable<CountedKey, CountedValue>;

TEST(FunnelAdversarial, ConstantHashUsesFallbackAndStaysCorrect) {
    Ledger ledger;
    {
        auto made = Counted::try_with_insert_budget(0, 3, kTestSeeds);
        Counted t = std::move(*made);
        auto put = [&](std::int64_t v) {
            CountedKey key(ledger, v, 7);
            const std::uint64_t h = t.seeds().hash(7);
            auto r = t.insert(std::move(key), CountedValue(ledger, v), h);
            ASSERT_TRUE(r.has_value());
        };
        auto where = [&](std::int64_t v) { return t.find(IntKey(v, 7), t.seeds().hash(7)); };
        for (int v = 0; v < 1000; ++v) {
            put(v);
            if (v % 50 == 0) expect_invariants(t);
        }
        EXPECT_TRUE(t.displaced());
        expect_invariants(t);
        for (int v = 0; v < 1000; ++v) ASSERT_TRUE(where(v).has_value()) << v;
        EXPECT_FALSE(where(1000).has_value());
        // Replacing a displaced key finds it through the full scan.
        put(999);
        EXPECT_EQ(t.len(), 1000u);
        // Remove most of them: purges rebuild with the fallback again.
        for (int v = 0; v < 900; ++v) {
            auto e = t.remove(*where(v));
            ASSERT_EQ(e.key.value(), v);
        }
        expect_invariants(t);
        for (int v = 900; v < 1000; ++v) ASSERT_TRUE(where(v).has_value()) << v;
        EXPECT_EQ(static_cast<std::size_t>(ledger.created()) - ledger.released_count(), 2 * t.len());
        // Back to a clean table: clear drops the displaced mark.
        t.clear();
        EXPECT_FALSE(t.displaced());
        put(1);
        EXPECT_TRUE(where(1).has_value());
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
        switch (g_mood) {
            case Mood::EqualToAll:
                return true;
            case Mood::EqualToNone:
                return false;
            case Mood::Honest:
                break;
        }
        return inner_.matches(stored.inner_);
    }
    std::int64_t id() const { return inner_.id(); }

private:
    CountedKey inner_;
};

TEST(FunnelAdversarial, ChangingEqualityNeverLosesOrDuplicatesEntries) {
    Ledger ledger;
    {
        using Moody = FunnelTable<MoodyKey, CountedValue>;
        Moody t = std::move(*Moody::try_with_insert_budget(0, 3, kTestSeeds));
        // Objects alive outside the table: none. So every unreleased object
        // is a key or a value stored in it.
        auto conserved = [&] {
            EXPECT_EQ(static_cast<std::size_t>(ledger.created()) - ledger.released_count(), 2 * t.len());
            EXPECT_TRUE(ledger.none_released_twice());
            std::map<std::int64_t, int> ids;
            Moody::cursor_type c(t.len());
            std::size_t walked = 0;
            while (auto* e = t.scan_next(c)) {
                ++ids[e->key.id()];
                ++walked;
            }
            EXPECT_EQ(walked, t.len());
            for (auto& [id, times] : ids) EXPECT_EQ(times, 1) << "key object " << id << " stored twice";
            expect_invariants(t, /*keys_distinct=*/false);
        };
        auto put = [&](std::int64_t v) {
            MoodyKey key(ledger, v);
            const std::uint64_t h = t.seeds().hash(key.cached_hash());
            auto r = t.insert(std::move(key), CountedValue(ledger, v), h);
            ASSERT_TRUE(r.has_value());
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
        for (int v = 0; v < 100; ++v) {
            auto at = t.find(MoodyKey(ledger, v), t.seeds().hash(v % 5));
            if (at) { auto e = t.remove(*at); }
        }
        conserved();
    }
    g_mood = Mood::Honest;
    EXPECT_TRUE(ledger.all_released_once());
}

}  // namespace
