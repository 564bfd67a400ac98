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
// With the GIL, only one thread at a time runs the module's code, and no
// Python code runs between reading the word and writing it back: the word
// then needs no atomic read-modify-write at all. Those locked instructions
// were a measurable share of every `in` and `[]`, so that build uses the
// serial form (same states, plain loads and stores); the free-threaded build
// and the C++ tests use the atomic one.
//
// This header knows nothing of Python so the C++ tests can hammer it from
// many threads under ThreadSanitizer. It picks the serial form only when it
// is included after <Python.h> of a GIL build, which every module source does
// (container_object.hpp checks it).
#pragma once

#include <atomic>
#include <cstddef>
#include <limits>

namespace tavoric::python {

inline constexpr std::size_t kExclusiveBorrow = std::numeric_limits<std::size_t>::max();

// Concurrent: an atomic word for callers on many threads at once.
// Serial: a plain word for callers that are already serialised.
template <bool Concurrent>
class BasicBorrowFlag;

template <>
class BasicBorrowFlag<true> {
public:
    static constexpr std::size_t exclusive = kExclusiveBorrow;

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

template <>
class BasicBorrowFlag<false> {
public:
    static constexpr std::size_t exclusive = kExclusiveBorrow;

    bool try_exclusive() noexcept {
        if (word_ != 0) return false;
        word_ = exclusive;
        return true;
    }

    bool try_shared() noexcept {
        if (word_ >= exclusive - 1) return false;
        ++word_;
        return true;
    }

    void release_exclusive() noexcept { word_ = 0; }

    void release_shared() noexcept { --word_; }

    std::size_t load() const noexcept { return word_; }

private:
    std::size_t word_ = 0;
};

#if defined(Py_PYTHON_H) && !defined(Py_GIL_DISABLED)
inline constexpr bool kConcurrentBorrowers = false;
#else
inline constexpr bool kConcurrentBorrowers = true;
#endif

using BorrowFlag = BasicBorrowFlag<kConcurrentBorrowers>;

// Chooses the scoped shared borrow that takes over a borrow the caller has
// already taken (a method body that starts in one function and goes on in
// another).
struct AdoptBorrow {};
inline constexpr AdoptBorrow adopt_borrow{};

// Scoped borrows. `held()` tells whether the borrow was granted; the
// destructor releases only what was granted. One word: the flag, or null,
// so the method bodies keep no separate "held" byte.
template <class Flag = BorrowFlag>
class BasicSharedBorrow {
public:
    explicit BasicSharedBorrow(Flag& flag) noexcept : flag_(flag.try_shared() ? &flag : nullptr) {}
    // Takes over a shared borrow the caller has already taken.
    BasicSharedBorrow(AdoptBorrow, Flag& flag) noexcept : flag_(&flag) {}
    BasicSharedBorrow(const BasicSharedBorrow&) = delete;
    BasicSharedBorrow& operator=(const BasicSharedBorrow&) = delete;
    ~BasicSharedBorrow() {
        if (flag_ != nullptr) flag_->release_shared();
    }
    bool held() const noexcept { return flag_ != nullptr; }

private:
    Flag* flag_;  // the flag borrowed from, null when the borrow was refused
};

template <class Flag = BorrowFlag>
class BasicExclusiveBorrow {
public:
    explicit BasicExclusiveBorrow(Flag& flag) noexcept : flag_(flag.try_exclusive() ? &flag : nullptr) {}
    BasicExclusiveBorrow(const BasicExclusiveBorrow&) = delete;
    BasicExclusiveBorrow& operator=(const BasicExclusiveBorrow&) = delete;
    ~BasicExclusiveBorrow() {
        if (flag_ != nullptr) flag_->release_exclusive();
    }
    bool held() const noexcept { return flag_ != nullptr; }

private:
    Flag* flag_;  // the flag borrowed from, null when the borrow was refused
};

using SharedBorrow = BasicSharedBorrow<>;
using ExclusiveBorrow = BasicExclusiveBorrow<>;

}  // namespace tavoric::python
