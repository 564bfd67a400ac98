// Random inserts (new and replacing), removals, deferred removals closed by
// one check, reserves and clears over a table of counted keys, each step
// checked against a plain map, the ledger (every unreleased object is a stored
// key or value) and the design's invariant check. The caller checks the ledger
// once the table is gone.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>

#include "common/arena/aligned_block.hpp"
#include "test_keys.hpp"

namespace tavoric::testing {

// Runs f with allocations refused after `allowed` more succeed (negative: none refused).
template <class F>
auto with_faults(long allowed, F f) {
    struct Disarm {
        ~Disarm() { common::arena::AllocationFaults::disarm(); }
    } disarm;
    common::arena::AllocationFaults::fail_after(allowed);
    return f();
}

template <class Table, class Hash, class Check>
void random_operations(Table& t, Ledger& ledger, Hash hash, std::uint64_t seed, int steps, int key_range,
                       int check_every, Check check) {
    std::map<std::int64_t, std::int64_t> model;
    std::mt19937_64 rng(seed);
    auto find = [&](std::int64_t k) { return t.find(CountedKey(ledger, k, hash(k)), t.seeds().hash(hash(k))); };
    for (int step = 0; step < steps; ++step) {
        const auto k = static_cast<std::int64_t>(rng() % key_range);
        const unsigned op = rng() % 20;
        if (op < 12) {
            const auto payload = static_cast<std::int64_t>(rng() % 1000);
            auto r = t.insert(CountedKey(ledger, k, hash(k)), CountedValue(ledger, payload), t.seeds().hash(hash(k)));
            ASSERT_TRUE(r.has_value());
            ASSERT_EQ(r->has_value(), model.count(k) == 1);
            ASSERT_TRUE(!r->has_value() || (*r)->payload() == model[k]);
            model[k] = payload;
        } else if (op < 17) {
            auto loc = find(k);
            ASSERT_EQ(loc.has_value(), model.count(k) == 1) << k;
            if (loc) {
                auto entry = t.remove(*loc);
                ASSERT_EQ(entry.key.value(), k);
                ASSERT_EQ(entry.value.payload(), model[k]);
                model.erase(k);
            }
        } else if (op < 19) {
            for (std::int64_t d = k; d < k + 10; ++d)
                if (auto loc = find(d)) {
                    (void)t.remove_deferred(*loc);
                    model.erase(d);
                }
            t.finish_deferred_removals();
        } else if (rng() % 32 == 0) {
            t.clear();
            model.clear();
        } else {
            ASSERT_TRUE(t.reserve(rng() % 300).has_value());
        }
        ASSERT_EQ(t.len(), model.size()) << step;
        ASSERT_EQ(static_cast<std::size_t>(ledger.created()) - ledger.released_count(), 2 * t.len()) << step;
        ASSERT_TRUE(ledger.none_released_twice());
        if (step % check_every == 0 || step + 1 == steps) check(t);
        if (::testing::Test::HasFatalFailure()) return;
    }
    std::map<std::int64_t, std::int64_t> seen;
    typename Table::cursor_type cursor(t.len());
    while (auto* entry = t.scan_next(cursor))
        ASSERT_TRUE(seen.emplace(entry->key.value(), entry->value.payload()).second) << "duplicate";
    EXPECT_EQ(seen, model);
}

}  // namespace tavoric::testing
