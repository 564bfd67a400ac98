// The borrow flag every container object carries.
//
// On the free-threaded interpreter two threads may enter methods of one
// object at once, and Python code run by a method (a key's __eq__, a
// finaliser) may call back into the same object. Instead of a lock that could
// deadlock on such re-entry, each object has one atomic word:
//
//   0           unborrowed
//   1 .. ~0 - 1 that many shared borrows (readers)
//   ~0          one exclusive borrow (a writer)
//
// A borrow that cannot be had is never waited for: the caller reports a
// conflict at once. Releases are sequentially consistent read-modify-writes
// or stores: everything the holder did is visible to the next borrower, and
// all releases fall in one total order with the acquisitions. (A separate
// fence before a release store would say the same, but ThreadSanitizer
// cannot model fences, and the tests run this under it.)
//
// This header knows nothing of Python so the C++ tests can hammer it from
// many threads under ThreadSanitizer.
#pragma once

#include <atomic>
#include <cstddef>
#include <limits>

namespace tavoric::python {

class BorrowFlag {
public:
    static constexpr std::size_t exclusive = std::numeric_limits<std::size_t>::max();

    // Takes the exclusive borrow: only from unborrowed.
    bool try_exclusive() noexcept {
        std::size_t expected = 0;
        return word_.compare_exchange_strong(expected, exclusive, std::memory_order_acquire,
                                             std::memory_order_relaxed);
    }

    // Takes one more shared borrow: from any state but exclusive. The count
    // stops one short of the exclusive pattern.
    bool try_shared() noexcept {
        std::size_t current = word_.load(std::memory_order_relaxed);
        while (current < exclusive - 1) {
            if (word_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
                return true;
            }
        }
        return false;
    }

    void release_exclusive() noexcept { word_.store(0, std::memory_order_seq_cst); }

    void release_shared() noexcept { word_.fetch_sub(1, std::memory_order_seq_cst); }

    std::size_t load() const noexcept { return word_.load(std::memory_order_acquire); }

private:
    std::atomic<std::size_t> word_{0};
};

// Scoped borrows. `held()` tells whether the borrow was granted; the
// destructor releases only what was granted.
class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag& flag) noexcept : flag_(&flag), held_(flag.try_shared()) {}
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    ~SharedBorrow() {
        if (held_) flag_->release_shared();
    }
    bool held() const noexcept { return held_; }

private:
    BorrowFlag* flag_;
    bool held_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& flag) noexcept : flag_(&flag), held_(flag.try_exclusive()) {}
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ~ExclusiveBorrow() {
        if (held_) flag_->release_exclusive();
    }
    bool held() const noexcept { return held_; }

private:
    BorrowFlag* flag_;
    bool held_;
};

}  // namespace tavoric::python
