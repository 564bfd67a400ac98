// The borrow flag under real parallelism: many threads race for shared and
// exclusive borrows; an exclusive holder must never overlap anyone.
#include "python/borrow_flag.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace tavoric::python {
namespace {

TEST(BorrowFlag, StatesAndRefusals) {
    BorrowFlag flag;
    EXPECT_TRUE(flag.try_shared());
    EXPECT_TRUE(flag.try_shared());
    EXPECT_EQ(flag.load(), 2u);
    EXPECT_FALSE(flag.try_exclusive());  // readers hold it
    flag.release_shared();
    flag.release_shared();
    EXPECT_EQ(flag.load(), 0u);

    EXPECT_TRUE(flag.try_exclusive());
    EXPECT_EQ(flag.load(), BorrowFlag::exclusive);
    EXPECT_FALSE(flag.try_exclusive());
    EXPECT_FALSE(flag.try_shared());
    flag.release_exclusive();
    EXPECT_TRUE(flag.try_shared());
    flag.release_shared();
}

TEST(BorrowFlag, ScopedGuardsReleaseOnlyWhatTheyHold) {
    BorrowFlag flag;
    {
        ExclusiveBorrow writer(flag);
        ASSERT_TRUE(writer.held());
        SharedBorrow reader(flag);
        EXPECT_FALSE(reader.held());
        ExclusiveBorrow second(flag);
        EXPECT_FALSE(second.held());
    }  // the refused guards must not release the writer's borrow early
    EXPECT_EQ(flag.load(), 0u);
    {
        SharedBorrow a(flag);
        SharedBorrow b(flag);
        EXPECT_TRUE(a.held() && b.held());
        EXPECT_EQ(flag.load(), 2u);
    }
    EXPECT_EQ(flag.load(), 0u);
}

// Writers increment a plain counter only under the exclusive borrow; readers
// check nobody writes while they hold a shared borrow. ThreadSanitizer
// reports any overlap as a data race on `plain`.
TEST(BorrowFlag, ExclusiveNeverOverlapsUnderContention) {
    BorrowFlag flag;
    long plain = 0;
    std::atomic<int> writers_inside{0};
    std::atomic<int> readers_inside{0};
    std::atomic<bool> overlap{false};
    std::atomic<long> granted_exclusive{0};
    constexpr int threads = 8;
    constexpr int rounds = 20000;

    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            for (int i = 0; i < rounds; ++i) {
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
                    volatile long seen = plain;
                    (void)seen;
                    readers_inside.fetch_sub(1);
                }
            }
        });
    }
    for (auto& thread : pool) thread.join();
    EXPECT_FALSE(overlap.load());
    EXPECT_EQ(plain, granted_exclusive.load());
    EXPECT_EQ(flag.load(), 0u);
}

}  // namespace
}  // namespace tavoric::python
