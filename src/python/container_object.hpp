// The layout every container object shares, and the pieces of its frame that
// do not depend on the container's kind.
//
// After the object header: the modification counter (bumped by every change
// of membership or value; iterators compare it), the container (which owns
// its table), and the borrow flag that guards the object against concurrent
// and re-entrant use. The container is a C++ object living inside memory the
// interpreter allocated, so it is placement-constructed and destroyed by
// hand.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <utility>

#include "python/borrow_flag.hpp"
#include "python/bounded_dealloc.hpp"
#include "python/errors.hpp"

namespace tavoric::python {

// Every module source includes <Python.h> before the borrow flag, so all of
// them agree on its form: serial with the GIL, atomic without.
#ifdef Py_GIL_DISABLED
static_assert(kConcurrentBorrowers, "the free-threaded build needs the atomic borrow flag");
#else
static_assert(!kConcurrentBorrowers, "a GIL build includes <Python.h> before the borrow flag");
#endif

// The modification counter. Only a holder of the object's exclusive borrow
// bumps it, so a bump is a plain load and store, not a locked increment; the
// word is atomic so that iterators may read it without borrowing the object
// at all (from inside a call that holds the exclusive borrow, such as
// `s |= iter(s)`, or from another thread on the free-threaded build).
class ModificationCounter {
public:
    ModificationCounter() noexcept = default;
    void operator++() noexcept { value_.store(value_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed); }
    std::uint64_t load() const noexcept { return value_.load(std::memory_order_relaxed); }

private:
    std::atomic<std::uint64_t> value_{0};
};

template <class Container>
struct ContainerObject {
    PyObject_HEAD
    ModificationCounter counter;
    Container container;
    BorrowFlag borrow;

    static ContainerObject* from(PyObject* self) noexcept { return reinterpret_cast<ContainerObject*>(self); }

    // A new object of `type` taking over `container`; nullptr with
    // MemoryError set (the container is then released by the caller's copy).
    static PyObject* create(PyTypeObject* type, Container&& container) {
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        ContainerObject* object = from(self);
        new (&object->counter) ModificationCounter();
        new (&object->container) Container(std::move(container));
        new (&object->borrow) BorrowFlag();
        return self;
    }

    // tp_dealloc: releases every entry (with the thread attached), then the
    // object and the reference instances of heap types hold to their type.
    // Releasing entries may free nested containers: bounded_dealloc keeps
    // that from recursing without limit.
    static void dealloc(PyObject* self) { bounded_dealloc(self, &destroy); }

private:
    static void destroy(PyObject* self) noexcept {
        PyTypeObject* type = Py_TYPE(self);
        ContainerObject* object = from(self);
        object->container.~Container();
        object->borrow.~BorrowFlag();
        object->counter.~ModificationCounter();
        type->tp_free(self);
        Py_DECREF(type);
    }
};

// Borrow conflicts, as Python sees them.
inline std::nullptr_t raise_already_borrowed() {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return nullptr;
}
inline std::nullptr_t raise_already_mutably_borrowed() {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    return nullptr;
}

// KeyError(key), with the key as the only argument even when it is a tuple.
std::nullptr_t raise_key_error(PyObject* key);

// The text CPython shows for the change-detection failure of every iterator.
inline constexpr const char* changed_during_iteration = "dictionary changed size during iteration";

// stored == other through the interpreter's rich comparison, the stored
// value on the left: 1 equal, 0 not, -1 with an exception set. An ordinary
// error from the comparison or from the truth test of its result counts as
// "not equal" and is discarded; the ones a caller must see are kept (see
// must_propagate).
int values_equal(PyObject* stored, PyObject* other);

// Whether the pending exception is one no comparison may hide: anything
// that is not an Exception (KeyboardInterrupt, SystemExit, ...), running out
// of memory, and running out of stack on deeply nested values.
bool must_propagate();

// cls[item] -> types.GenericAlias(cls, item)
PyObject* class_getitem(PyObject* cls, PyObject* item);

}  // namespace tavoric::python
