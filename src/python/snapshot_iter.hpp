// The snapshot iterator shared by all eight iterator classes (keys, values
// and items of both maps, and both sets).
//
// An iterator copies what it will hand out when it is made (new references,
// in table order) and keeps a reference to its container. Each step reads
// the container's modification counter (an atomic word, no borrow needed),
// so the iterator never borrows the container after it was made; any change
// since creation fails every later step, also after the snapshot was
// exhausted.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <new>
#include <vector>

#include "python/borrow_flag.hpp"
#include "python/container_object.hpp"
#include "python/errors.hpp"
#include "python/owned_ref.hpp"

namespace tavoric::python {

struct SnapshotIterObject {
    PyObject_HEAD
    std::uint64_t counter_snapshot;
    std::vector<OwnedRef> snapshot;  // emptied slot by slot as items are handed out
    OwnedRef parent;                 // keeps the container alive
    std::size_t position;
    BorrowFlag borrow;

    static SnapshotIterObject* from(PyObject* self) noexcept { return reinterpret_cast<SnapshotIterObject*>(self); }
};

// `Parent` is the ContainerObject type of the iterated container.
template <class Parent>
struct SnapshotIter {
    // A new iterator of `type` over `parent` (borrowed; a new reference is
    // kept). nullptr with an exception set.
    static PyObject* create(PyTypeObject* type, PyObject* parent, std::uint64_t counter,
                            std::vector<OwnedRef>&& snapshot) {
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        SnapshotIterObject* it = SnapshotIterObject::from(self);
        it->counter_snapshot = counter;
        new (&it->snapshot) std::vector<OwnedRef>(std::move(snapshot));
        new (&it->parent) OwnedRef(OwnedRef::borrow(parent));
        it->position = 0;
        new (&it->borrow) BorrowFlag();
        return self;
    }

    static PyObject* next(PyObject* self) {
        SnapshotIterObject* it = SnapshotIterObject::from(self);
        ExclusiveBorrow own(it->borrow);
        if (!own.held()) return raise_already_borrowed();
        // The counter is read without borrowing the parent: the snapshot
        // holds everything handed out, so a call that holds the parent
        // exclusively (`s |= iter(s)`) or another thread cannot disturb the
        // step; it only decides whether the parent changed since.
        if (Parent::from(it->parent.get())->counter.load() != it->counter_snapshot) {
            PyErr_SetString(PyExc_RuntimeError, changed_during_iteration);
            return nullptr;
        }
        if (it->position >= it->snapshot.size()) return nullptr;  // exhausted: no error set
        return it->snapshot[it->position++].release();
    }

    static void dealloc(PyObject* self) { bounded_dealloc(self, &destroy); }

    static void destroy(PyObject* self) noexcept {
        PyTypeObject* type = Py_TYPE(self);
        SnapshotIterObject* it = SnapshotIterObject::from(self);
        it->snapshot.~vector();
        it->parent.~OwnedRef();
        it->borrow.~BorrowFlag();
        type->tp_free(self);
        Py_DECREF(type);
    }

    // Iterators do not pickle: their snapshot and counter are tied to one
    // container object in this process.
    static PyObject* reduce(PyObject* self, PyObject*) {
        PyErr_Format(PyExc_TypeError, "cannot pickle '%s' object", Py_TYPE(self)->tp_name);
        return nullptr;
    }

    // The type description of an iterator class named `qualified_name`;
    // callers keep it in static storage, as the interpreter requires.
    static PyType_Spec make_spec(const char* qualified_name) {
        static PyMethodDef methods[] = {
            {"__reduce__", &reduce, METH_NOARGS, nullptr},
            {nullptr, nullptr, 0, nullptr},
        };
        static PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
            {Py_tp_iter, reinterpret_cast<void*>(&PyObject_SelfIter)},
            {Py_tp_iternext, reinterpret_cast<void*>(&next)},
            {Py_tp_methods, methods},
            {Py_tp_doc, const_cast<char*>("")},
            {0, nullptr},
        };
        return PyType_Spec{
            qualified_name, static_cast<int>(sizeof(SnapshotIterObject)), 0,
            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots,
        };
    }
};

}  // namespace tavoric::python
