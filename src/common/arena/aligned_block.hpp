// Aligned allocation of table storage.
//
// Every table shape lives in one block aligned to 64 bytes. A refused
// allocation is an error value (AllocError), never the end of the process, so
// callers can leave their table exactly as it was. Requests above
// kMaxBlockBytes (the largest signed machine word rounded down to 64) count
// as refused without asking the system.
//
// AllocationFaults lets tests refuse a chosen allocation on this thread, so
// the failure paths of growth and construction are exercised for real.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <new>
#include <utility>

#include "common/error/try_errors.hpp"

namespace tavoric::common::arena {

using error::TryReserveError;

inline constexpr std::size_t kTableAlignment = 64;
inline constexpr std::size_t kMaxBlockBytes = static_cast<std::size_t>(PTRDIFF_MAX) & ~std::size_t{63};

class AllocationFaults {
public:
    // Refuse the allocation that comes after `allowed` more successful ones
    // (0 refuses the next); negative disarms.
    static void fail_after(long allowed) noexcept { countdown() = allowed; }
    static void disarm() noexcept { countdown() = -1; }

    // Consumes one allocation attempt; true when this one must be refused.
    static bool should_fail() noexcept {
        long& c = countdown();
        if (c < 0) return false;
        if (c == 0) {
            c = -1;
            return true;
        }
        --c;
        return false;
    }

private:
    static long& countdown() noexcept {
        thread_local long value = -1;
        return value;
    }
};

// RebuildFaults lets tests make the next rebuild of a table on this thread
// stop with an invariant failure before it changes anything, so the paths
// that carry such a failure out of a removal or a draining walk are
// exercised for real (they must reach the caller, never end the process).
class RebuildFaults {
public:
    static void fail_next() noexcept { armed() = true; }
    static bool should_fail() noexcept { return std::exchange(armed(), false); }

private:
    static bool& armed() noexcept {
        thread_local bool value = false;
        return value;
    }
};

// Reports table blocks to an embedder's memory accounting: the Python module
// hands each block to tracemalloc, so memory snapshots see table storage
// like any other allocation. Installed once when the module loads, before
// any table exists; without it (the C++ tests) nothing is reported. Blocks
// are allocated only when a table is built or grows, so the observer costs
// nothing per operation.
struct BlockObserver {
    void (*allocated)(void* base, std::size_t size) noexcept;
    void (*released)(void* base) noexcept;
};

inline std::atomic<const BlockObserver*>& block_observer_slot() noexcept {
    static std::atomic<const BlockObserver*> slot{nullptr};
    return slot;
}
inline void set_block_observer(const BlockObserver* observer) noexcept {
    block_observer_slot().store(observer, std::memory_order_release);
}
inline const BlockObserver* block_observer() noexcept {
    return block_observer_slot().load(std::memory_order_acquire);
}

// An owned block of raw bytes. align() == 0 means "no block": it was moved
// or taken out, and destruction does nothing.
class OwnedBlock {
public:
    OwnedBlock() noexcept = default;
    OwnedBlock(std::byte* base, std::size_t size, std::size_t align) noexcept : base_(base), size_(size), align_(align) {}
    OwnedBlock(OwnedBlock&& other) noexcept
        : base_(std::exchange(other.base_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          align_(std::exchange(other.align_, 0)) {}
    OwnedBlock& operator=(OwnedBlock&& other) noexcept {
        if (this != &other) {
            release();
            base_ = std::exchange(other.base_, nullptr);
            size_ = std::exchange(other.size_, 0);
            align_ = std::exchange(other.align_, 0);
        }
        return *this;
    }
    OwnedBlock(const OwnedBlock&) = delete;
    OwnedBlock& operator=(const OwnedBlock&) = delete;
    ~OwnedBlock() { release(); }

    std::byte* base() const noexcept { return base_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t align() const noexcept { return align_; }

    void release() noexcept {
        if (align_ != 0 && size_ != 0) {
            if (const BlockObserver* observer = block_observer()) observer->released(base_);
            ::operator delete(base_, size_, std::align_val_t{align_});
        }
        base_ = nullptr;
        size_ = 0;
        align_ = 0;
    }

private:
    std::byte* base_ = nullptr;
    std::size_t size_ = 0;
    std::size_t align_ = 0;
};

// A block of `size` bytes (a multiple of `align`, which is a power of two).
// Size 0 gives an empty block (alignment 1, no memory).
inline std::expected<OwnedBlock, TryReserveError> try_allocate_block(std::size_t size, std::size_t align) noexcept {
    if (size == 0) return OwnedBlock(nullptr, 0, 1);
    if (size > kMaxBlockBytes || AllocationFaults::should_fail()) {
        return std::unexpected(TryReserveError::alloc_error());
    }
    void* p = ::operator new(size, std::align_val_t{align}, std::nothrow);
    if (p == nullptr) return std::unexpected(TryReserveError::alloc_error());
    if (const BlockObserver* observer = block_observer()) observer->allocated(p, size);
    return OwnedBlock(static_cast<std::byte*>(p), size, align);
}

// A small boxed array (level tables and the like), value-initialised.
template <class T>
std::expected<std::unique_ptr<T[]>, TryReserveError> try_allocate_array(std::size_t count) noexcept {
    if (count > kMaxBlockBytes / sizeof(T) || AllocationFaults::should_fail()) {
        return std::unexpected(TryReserveError::alloc_error());
    }
    std::unique_ptr<T[]> array(new (std::nothrow) T[count]());
    if (!array && count != 0) return std::unexpected(TryReserveError::alloc_error());
    return array;
}

}  // namespace tavoric::common::arena
