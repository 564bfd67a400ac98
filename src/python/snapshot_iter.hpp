// The snapshot iterator shared by all eight iterator classes (keys, values
// and items of both maps, and both sets).
//
// An iterator copies what it will hand out when it is made (new references,
// in table order) and keeps a reference to its container. Each step reads
// the container's modification counter (an atomic word, no borrow needed),
// so the iterator never borrows the container after it was made; any change
// since creation fails every later step, also after the snapshot was
// exhausted. Walking backwards is the same iterator over a reversed copy.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
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

// How many entries ahead of the one at hand a snapshot's walks fetch the
// objects they will write to. Objects lie in memory in the order they were
// made, a table holds them in its own order, so in a large table nearly
// every reference taken or dropped in table order would wait for a cache
// miss. Fetched this far ahead, those misses overlap with the work on the
// entries in between.
inline constexpr std::size_t kWarmAhead = 16;

// Fetches the cache line of an object's reference count, for writing. Only
// a hint: it reads nothing and cannot fault, whatever the pointer.
inline void warm(const PyObject* object) noexcept { __builtin_prefetch(object, 1); }

// The snapshot of a walk over a table (its iter()): a new reference for
// every entry, in table order, made by the steps of `Steps`:
//   Steps::pick(entry)   what the walk notes of an entry (the object itself
//                        where that is all make() needs);
//   Steps::warm(picked)  fetches ahead what make() will write to;
//   Steps::make(picked)  the new reference, empty with the Python error set
//                        on failure (then the snapshot is nullopt).
// The walk first notes every entry, then makes the references, warming the
// entry kWarmAhead further on. The last kWarmAhead have a loop of their own,
// so that the main loop tests no distance.
template <class Steps, class Walk>
std::optional<std::vector<OwnedRef>> snapshot_of(Walk walk, std::size_t len) {
    using Picked = decltype(Steps::pick(*walk.next()));
    const std::unique_ptr<Picked[]> picked = std::make_unique_for_overwrite<Picked[]>(len);
    std::size_t n = 0;
    for (; n < len; ++n) {
        const auto* entry = walk.next();
        if (entry == nullptr) break;
        picked[n] = Steps::pick(*entry);
    }
    std::vector<OwnedRef> snapshot;
    snapshot.reserve(n);
    auto add = [&](std::size_t i) __attribute__((always_inline)) {
        OwnedRef made = Steps::make(picked[i]);
        if (!made) return false;
        snapshot.push_back(std::move(made));
        return true;
    };
    std::size_t i = 0;
    for (; i + kWarmAhead < n; ++i) {
        Steps::warm(picked[i + kWarmAhead]);
        if (!add(i)) return std::nullopt;
    }
    for (; i < n; ++i) {
        if (!add(i)) return std::nullopt;
    }
    return snapshot;
}

// Steps for walks whose entries each give one object (a set's key, a map's
// key or value), noted, fetched ahead and handed out as a new reference.
// `Which` says which object: Which::pick(entry).
template <class Which>
struct OneObjectSteps {
    template <class Entry>
    static OwnedRef entry(const Entry& e) {
        return make(Which::pick(e));
    }
    static void warm(PyObject* object) { python::warm(object); }
    static OwnedRef make(PyObject* object) { return OwnedRef::borrow(object); }
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
        if (invalidated(it)) {
            PyErr_SetString(PyExc_RuntimeError, changed_during_iteration);
            return nullptr;
        }
        if (it->position >= it->snapshot.size()) return nullptr;  // exhausted: no error set
        // The caller drops what it is handed, in snapshot order: warm ahead.
        if (it->position + kWarmAhead < it->snapshot.size()) [[likely]]
            warm(it->snapshot[it->position + kWarmAhead].get());
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

    // Whether the parent changed since the iterator was made: every later
    // step then fails.
    static bool invalidated(const SnapshotIterObject* it) noexcept {
        return Parent::from(it->parent.get())->counter.load() != it->counter_snapshot;
    }

    // operator.length_hint(it): what is left to hand out, so that list(it)
    // and friends presize; 0 once exhausted or invalidated.
    static PyObject* length_hint(PyObject* self, PyObject*) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            SnapshotIterObject* it = SnapshotIterObject::from(self);
            SharedBorrow own(it->borrow);
            if (!own.held()) return raise_already_mutably_borrowed();
            if (invalidated(it)) return PyLong_FromLong(0);
            return PyLong_FromSize_t(it->snapshot.size() - it->position);
        });
    }

    // Pickling, as dict's and set's iterators do it: iter(list of what is
    // left), a plain list iterator on unpickling, no longer tied to the
    // container. An exhausted iterator pickles an empty remainder. One
    // invalidated with items left fails as its next step would (and as a
    // dict's iterator fails to pickle once its dict changed size): the items
    // it still holds are stale, and passing them on would hide the change.
    static PyObject* reduce(PyObject* self, PyObject*) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            SnapshotIterObject* it = SnapshotIterObject::from(self);
            OwnedRef iter_builtin = OwnedRef::steal(PyImport_ImportModuleAttrString("builtins", "iter"));
            if (!iter_builtin) return nullptr;
            // The remainder is copied (references only, no Python code runs)
            // under the iterator's borrow and becomes a list after it.
            std::vector<OwnedRef> rest;
            {
                SharedBorrow own(it->borrow);
                if (!own.held()) return raise_already_mutably_borrowed();
                if (it->position < it->snapshot.size() && invalidated(it)) {
                    PyErr_SetString(PyExc_RuntimeError, changed_during_iteration);
                    return nullptr;
                }
                rest.reserve(it->snapshot.size() - it->position);
                for (std::size_t i = it->position; i < it->snapshot.size(); ++i) {
                    rest.push_back(it->snapshot[i].clone());
                }
            }
            OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(rest.size())));
            if (!list) return nullptr;
            for (std::size_t i = 0; i < rest.size(); ++i) {
                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), rest[i].release());
            }
            return Py_BuildValue("O(O)", iter_builtin.get(), list.get());
        });
    }

    // The type description of an iterator class named `qualified_name`;
    // callers keep it in static storage, as the interpreter requires.
    static PyType_Spec make_spec(const char* qualified_name) {
        static PyMethodDef methods[] = {
            {"__reduce__", &reduce, METH_NOARGS, nullptr},
            {"__length_hint__", &length_hint, METH_NOARGS, nullptr},
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
