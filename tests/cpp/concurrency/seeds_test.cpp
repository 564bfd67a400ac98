// The hashing seeds under real parallelism: every thread that races for the
// first fold seed must see the one value that won, and per-table seeds drawn
// on many threads at once must not repeat.
#include "common/hash/table_hash.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <set>
#include <thread>
#include <vector>

namespace tavoric::common::hash {
namespace {

TEST(Seeds, ConcurrentFirstUsersAgreeAndTableSeedsAreFresh) {
    constexpr int threads = 16;
    constexpr int per_thread = 2000;
    std::atomic<bool> go{false};
    std::vector<std::uint64_t> folds(threads);
    std::vector<std::vector<std::uint64_t>> tables(threads);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
            folds[t] = process_fold_seed();
            for (int i = 0; i < per_thread; ++i) tables[t].push_back(HashSeeds::fresh().table);
        });
    }
    go.store(true, std::memory_order_release);
    for (auto& thread : pool) thread.join();

    for (std::uint64_t fold : folds) EXPECT_EQ(fold, folds[0]);
    EXPECT_EQ(process_fold_seed(), folds[0]);
    std::set<std::uint64_t> distinct;
    for (const auto& seeds : tables) distinct.insert(seeds.begin(), seeds.end());
    EXPECT_EQ(distinct.size(), static_cast<std::size_t>(threads * per_thread));
}

}  // namespace
}  // namespace tavoric::common::hash
