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

#include <cstdint>
#include <new>
#include <utility>

#include "python/borrow_flag.hpp"
#include "python/errors.hpp"

namespace tavoric::python {

// Every module source includes <Python.h> before the borrow flag, so all of
// them agree on its form: serial with the GIL, atomic without.
#ifdef Py_GIL_DISABLED
static_assert(kConcurrentBorrowers, "the free-threaded build needs the atomic borrow flag");
#else
static_assert(!kConcurrentBorrowers, "a GIL build includes <Python.h> before the borrow flag");
#endif

template <class Container>
struct ContainerObject {
    PyObject_HEAD
    std::uint64_t counter;
    Container container;
    BorrowFlag borrow;

    static ContainerObject* from(PyObject* self) noexcept { return reinterpret_cast<ContainerObject*>(self); }

    // A new object of `type` taking over `container`; nullptr with
    // MemoryError set (the container is then released by the caller's copy).
    static PyObject* create(PyTypeObject* type, Container&& container) {
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        ContainerObject* object = from(self);
        object->counter = 0;
        new (&object->container) Container(std::move(container));
        new (&object->borrow) BorrowFlag();
        return self;
    }

    // tp_dealloc: releases every entry (with the thread attached), then the
    // object and the reference instances of heap types hold to their type.
    static void dealloc(PyObject* self) {
        PyTypeObject* type = Py_TYPE(self);
        ContainerObject* object = from(self);
        object->container.~Container();
        object->borrow.~BorrowFlag();
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
// A shared borrow that has no recoverable failure path (an argument of the
// same class, an iterator's parent): the conflict is a broken promise.
inline std::nullptr_t panic_already_mutably_borrowed() {
    return raise_panic("Already mutably borrowed: the object is being changed by the call that ran this code");
}

// The text CPython shows for the change-detection failure of every iterator.
inline constexpr const char* changed_during_iteration = "dictionary changed size during iteration";

// stored == other through the interpreter's rich comparison, the stored
// value on the left. An error from the comparison or from the truth test of
// its result counts as "not equal" and is discarded.
bool values_equal(PyObject* stored, PyObject* other);

// cls[item] -> types.GenericAlias(cls, item)
PyObject* class_getitem(PyObject* cls, PyObject* item);

}  // namespace tavoric::python
