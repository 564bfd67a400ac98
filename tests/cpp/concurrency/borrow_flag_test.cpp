// The borrow flag under real parallelism: many threads race for shared and
// exclusive borrows; an exclusive holder must never overlap anyone.
#include "python/borrow_flag.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <type_traits>
#include <vector>

namespace tavoric::python {
namespace {

// The atomic form (free-threaded build) and the serial form (GIL build) go
// through the same states and refusals.
template <class Flag>
class BorrowFlagForms : public ::testing::Test {};
using Forms = ::testing::Types<BasicBorrowFlag<true>, BasicBorrowFlag<false>>;
TYPED_TEST_SUITE(BorrowFlagForms, Forms);

TYPED_TEST(BorrowFlagForms, StatesAndRefusals) {
    TypeParam flag;
    EXPECT_TRUE(flag.try_shared());
    EXPECT_TRUE(flag.try_shared());
    EXPECT_EQ(flag.load(), 2u);
    EXPECT_FALSE(flag.try_exclusive());  // readers hold it
    flag.release_shared();
    flag.release_shared();
    EXPECT_EQ(flag.load(), 0u);

    EXPECT_TRUE(flag.try_exclusive());
    EXPECT_EQ(flag.load(), TypeParam::exclusive);
    EXPECT_FALSE(flag.try_exclusive());
    EXPECT_FALSE(flag.try_shared());
    flag.release_exclusive();
    EXPECT_TRUE(flag.try_shared());
    flag.release_shared();
}

TYPED_TEST(BorrowFlagForms, ScopedGuardsReleaseOnlyWhatTheyHold) {
    TypeParam flag;
    {
        BasicExclusiveBorrow<TypeParam> writer(flag);
        ASSERT_TRUE(writer.held());
        BasicSharedBorrow<TypeParam> reader(flag);
        EXPECT_FALSE(reader.held());
        BasicExclusiveBorrow<TypeParam> second(flag);
        EXPECT_FALSE(second.held());
    }  // the refused guards must not release the writer's borrow early
    EXPECT_EQ(flag.load(), 0u);
    {
        BasicSharedBorrow<TypeParam> a(flag);
        BasicSharedBorrow<TypeParam> b(flag);
        EXPECT_TRUE(a.held() && b.held());
        EXPECT_EQ(flag.load(), 2u);
    }
    EXPECT_EQ(flag.load(), 0u);
}

// Without <Python.h> (here) the flag is the atomic form.
static_assert(std::is_same_v<BorrowFlag, BasicBorrowFlag<true>>);

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
