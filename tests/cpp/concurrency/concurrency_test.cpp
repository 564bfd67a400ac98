// Under real parallelism (run with ThreadSanitizer): an exclusive borrow
// never overlaps anyone, and threads racing for the first fold seed all see
// the value that won while per-table seeds drawn at once never repeat.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <set>
#include <thread>
#include <type_traits>
#include <vector>

#include "common/hash/table_hash.hpp"
#include "python/borrow_flag.hpp"

namespace tavoric::python {
namespace {

// The atomic form (free-threaded build) and the serial form (GIL build) go
// through the same states and refusals.
template <class Flag>
class BorrowFlagForms : public ::testing::Test {};
using Forms = ::testing::Types<BasicBorrowFlag<true>, BasicBorrowFlag<false>>;
TYPED_TEST_SUITE(BorrowFlagForms, Forms);
static_assert(std::is_same_v<BorrowFlag, BasicBorrowFlag<true>>);  // the form without <Python.h>

TYPED_TEST(BorrowFlagForms, StatesRefusalsAndScopedGuards) {
    TypeParam flag;
    EXPECT_TRUE(flag.try_shared() && flag.try_shared() && flag.load() == 2u && !flag.try_exclusive());  // readers hold it
    flag.release_shared();
    flag.release_shared();
    EXPECT_TRUE(flag.load() == 0u && flag.try_exclusive() && flag.load() == TypeParam::exclusive);
    EXPECT_FALSE(flag.try_exclusive() || flag.try_shared());
    flag.release_exclusive();
    EXPECT_TRUE(flag.try_shared());
    flag.release_shared();
    {
        BasicExclusiveBorrow<TypeParam> writer(flag), second(flag);
        BasicSharedBorrow<TypeParam> reader(flag);
        ASSERT_TRUE(writer.held());
        EXPECT_FALSE(reader.held() || second.held());
    }  // the refused guards must not release the writer's borrow early
    EXPECT_EQ(flag.load(), 0u);
    {
        BasicSharedBorrow<TypeParam> a(flag), b(flag);
        EXPECT_TRUE(a.held() && b.held() && flag.load() == 2u);
    }
    EXPECT_EQ(flag.load(), 0u);
}

// Writers increment a plain counter only under the exclusive borrow; readers
// check nobody writes while they hold a shared borrow. ThreadSanitizer
// reports any overlap as a data race on `plain`.
TEST(BorrowFlag, ExclusiveNeverOverlapsUnderContention) {
    BorrowFlag flag;
    long plain = 0;
    std::atomic<int> writers_inside{0}, readers_inside{0};
    std::atomic<bool> overlap{false};
    std::atomic<long> granted_exclusive{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < 8; ++t) {
        pool.emplace_back([&, t] {
            for (int i = 0; i < 20000; ++i) {
                if ((i + t) % 3 == 0) {
                    ExclusiveBorrow writer(flag);
                    if (!writer.held()) continue;
                    if (writers_inside.fetch_add(1) != 0 || readers_inside.load() != 0) overlap = true;
                    ++plain;
                    granted_exclusive.fetch_add(1, std::memory_order_relaxed);
                    writers_inside.fetch_sub(1);
                } else {
                    SharedBorrow reader(flag);
                    if (!reader.held()) continue;
                    readers_inside.fetch_add(1);
                    if (writers_inside.load() != 0) overlap = true;
                    [[maybe_unused]] volatile long seen = plain;
                    readers_inside.fetch_sub(1);
                }
            }
        });
    }
    for (auto& thread : pool) thread.join();
    EXPECT_TRUE(!overlap.load() && plain == granted_exclusive.load() && flag.load() == 0u);
}

TEST(Seeds, ConcurrentFirstUsersAgreeAndTableSeedsAreFresh) {
    constexpr int threads = 16, per_thread = 2000;
    std::atomic<bool> go{false};
    std::vector<std::uint64_t> folds(threads);
    std::vector<std::vector<std::uint64_t>> tables(threads);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
            folds[t] = common::hash::process_fold_seed();
            for (int i = 0; i < per_thread; ++i) tables[t].push_back(common::hash::HashSeeds::fresh().table);
        });
    }
    go.store(true, std::memory_order_release);
    for (auto& thread : pool) thread.join();
    for (std::uint64_t fold : folds) EXPECT_EQ(fold, folds[0]);
    EXPECT_EQ(common::hash::process_fold_seed(), folds[0]);
    std::set<std::uint64_t> distinct;
    for (const auto& seeds : tables) distinct.insert(seeds.begin(), seeds.end());
    EXPECT_EQ(distinct.size(), static_cast<std::size_t>(threads * per_thread));
}

}  // namespace
}  // namespace tavoric::python
