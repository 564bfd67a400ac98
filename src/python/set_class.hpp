// FunnelHashSet and ElasticHashSet: the set classes, one template over the
// table kind, and their snapshot iterators.
//
// Every method takes the object's borrow for its whole run: the exclusive
// borrow to change the set, a shared one to read it. The borrow covers the
// Python code the method runs (hashing, __eq__, iterating arguments), so that
// code calling back into the same set meets "Already borrowed" instead of a
// half-changed table.
//
// The modification counter is bumped exactly when membership changes.
// Iterators copy the keys when they are made and compare the counter on
// every step, so they never hold a borrow of the set between calls.
//
// Reference ownership: the container owns one reference per stored key
// (HashedAny); `add` hands a new one in, `pop` hands one out to the caller,
// everything else reads keys through borrowed LookupKeys.
//
// The set algebra (operators, `union` and friends, predicates, equality)
// lives in set_algebra.hpp; this file wires it into the class.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "common/arena/slot_entry.hpp"
#include "python/arguments.hpp"
#include "python/container_object.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/frame.hpp"
#include "python/hashed_any.hpp"
#include "python/owned_ref.hpp"
#include "python/snapshot_iter.hpp"
#include "python/set_algebra.hpp"
#include "python/table_kind.hpp"
#include "set/hash_set.hpp"

namespace tavoric::python {

template <class KindT>
class SetClass {
    using Frame = python::Frame<SetClass>;

public:
    using Kind = KindT;
    using Table = typename Kind::template Table<common::arena::Unit>;
    using Container = set::HashSet<HashedAny, Table>;
    using Object = ContainerObject<Container>;

    // Filled in when the classes are registered.
    static inline PyTypeObject* type = nullptr;
    static inline PyTypeObject* iter_type = nullptr;

    static constexpr const char* name = Kind::set_name;

    static PyType_Spec* type_spec();
    static PyType_Spec* iter_spec();

    // The set bulk insertion shared by the constructor, update and |=:
    // 1 when the length changed, 0 when not, -1 with an exception set.
    // `self` is the object that owns `target`, or nullptr while constructing.
    static int add_all(Container& target, PyObject* self, PyObject* other);

    // A new container of the same kind holding the source's keys: sized for
    // the source's length with the default reserve exponent and a fresh seed,
    // whatever the source was built with. Keys keep their cached hashes.
    static Container copy_container(const Container& source) {
        Container copy(Kind::template build<common::arena::Unit>(source.len()));
        for (const HashedAny& key : source.iter()) {
            // The table was sized for every key, so this cannot grow; an
            // error here is a broken promise of the table, reported as such
            // by the entry point's guard. The keys are distinct: no search.
            auto added = copy.insert_distinct(HashedAny::share(key));
            if (!added) {
                if (added.error().kind() == common::error::TryReserveError::Kind::AllocError) throw std::bad_alloc();
                common::error::panic(added.error().message());
            }
        }
        return copy;
    }

private:
    using Algebra = SetAlgebra<SetClass>;

    // The PyCFunction form a METH_FASTCALL method is stored under.
    template <class F>
    static PyCFunction fastcall(F* function) noexcept {
        return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
    }

    static Object* object(PyObject* self) noexcept { return Object::from(self); }

    // ---- frame --------------------------------------------------------------

    // The constructor's arguments, also those of __init__: (iterable=None,
    // *, capacity=0). nullopt with an exception set.
    struct Arguments {
        PyObject* iterable = nullptr;
        std::uint32_t capacity = 0;
    };

    static std::optional<Arguments> parse_constructor_arguments(PyObject* args, PyObject* kwargs) {
        static const char* const names[] = {"iterable", "capacity"};
        PyObject* given[2];
        // `capacity` is keyword-only.
        if (!parse_arguments(Parameters<2>{Kind::set_name, names, 0, 1}, args, kwargs, given)) {
            return std::nullopt;
        }
        auto capacity = Frame::constructor_capacity(given[1]);
        if (!capacity) return std::nullopt;
        return Arguments{is_absent(given[0]) ? nullptr : given[0], *capacity};
    }

    // The constructor makes the empty set sized for `capacity`; __init__,
    // which the interpreter calls next with the same arguments, fills it.
    static PyObject* construct(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            auto parsed = parse_constructor_arguments(args, kwargs);
            if (!parsed) return nullptr;
            return Object::create(cls, Container(Kind::template build<common::arena::Unit>(parsed->capacity)));
        });
    }

    // __init__, as set's: empty the set, then add the iterable's elements.
    // `capacity` asks for room for that many elements in all.
    static int initialize(PyObject* self, PyObject* args, PyObject* kwargs) {
        return guarded<int>(-1, [&]() -> int {
            auto parsed = parse_constructor_arguments(args, kwargs);
            if (!parsed) return -1;
            ExclusiveBorrow borrow(object(self)->borrow);
            if (!borrow.held()) return (raise_already_borrowed(), -1);
            Container& container = object(self)->container;
            bool changed = container.len() != 0;
            container.clear();
            if (changed) ++object(self)->counter;
            if (auto reserved = container.reserve(parsed->capacity); !reserved) {
                return (raise_reserve_error(reserved.error()), -1);
            }
            if (parsed->iterable == nullptr) return 0;
            int added = add_all(container, self, parsed->iterable);
            if (added > 0) ++object(self)->counter;
            return added < 0 ? -1 : 0;
        });
    }

    // ---- element methods ----------------------------------------------------

    static PyObject* add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return guarded<PyObject*>(nullptr, [&]() __attribute__((always_inline)) -> PyObject* {
            PyObject* value = single_argument(args, nargs, kwnames, "add", "value");
            if (value == nullptr) return nullptr;
            ExclusiveBorrow borrow(object(self)->borrow);
            if (!borrow.held()) return raise_already_borrowed();
            // The caller's reference serves the search; the set takes one of
            // its own only for a key it stores.
            auto key = LookupKey::make(value);
            if (!key) return nullptr;
            auto added = object(self)->container.add(*key, [&] { return HashedAny::share(*key); });
            if (!added) return raise_reserve_error(added.error());
            if (*added) ++object(self)->counter;
            Py_RETURN_NONE;
        });
    }

    // As with set, a set (unhashable: a built-in one or one of this class)
    // is looked up as the equal frozenset. `in`, `discard` and `remove` try
    // the value's own hash in line; only when that fails does
    // `as_frozenset` run, out of line, and hand the operation the frozenset
    // instead (nullptr, with the error set, when the value is not such a
    // set or cannot be converted).
    [[gnu::noinline]] static OwnedRef as_frozenset(PyObject* value) {
        if (!(PySet_Check(value) || Py_IS_TYPE(value, type)) || !PyErr_ExceptionMatches(PyExc_TypeError)) {
            return OwnedRef();
        }
        PyErr_Clear();
        return OwnedRef::steal(PyFrozenSet_New(value));
    }

    static int contains(PyObject* self, PyObject* value) {
        return Frame::template contains_filtered<contains_any>(self, value);
    }

    [[gnu::always_inline]] static int contains_any(PyObject* self, PyObject* value) {
        return guarded<int>(-1, [&]() -> int {
            SharedBorrow borrow(object(self)->borrow);
            if (!borrow.held()) return (raise_already_mutably_borrowed(), -1);
            auto key = LookupKey::make(value);
            if (!key) [[unlikely]]
                return contains_as_frozenset(self, value);
            return object(self)->container.contains(*key) ? 1 : 0;
        });
    }

    // contains_any again for the frozenset of an unhashable value; it runs
    // under the caller's shared borrow and takes another (so does
    // converting `s` itself for `s in s`).
    [[gnu::noinline]] static int contains_as_frozenset(PyObject* self, PyObject* value) {
        const OwnedRef frozen = as_frozenset(value);
        return frozen ? contains_any(self, frozen.get()) : -1;
    }

    // Removes `value` if present: 1 removed, 0 absent, -1 error.
    static int discard_value(PyObject* self, PyObject* value) {
        // The key first: turning a set into a frozenset iterates it, and the
        // set may be this one (`s.discard(s)`).
        auto key = LookupKey::make(value);
        if (!key) [[unlikely]]
            return discard_as_frozenset(self, value);
        ExclusiveBorrow borrow(object(self)->borrow);
        if (!borrow.held()) return (raise_already_borrowed(), -1);
        auto removed = object(self)->container.remove(*key);
        if (!removed) return 0;
        ++object(self)->counter;
        removed->release_attached();
        return 1;
    }

    [[gnu::noinline]] static int discard_as_frozenset(PyObject* self, PyObject* value) {
        const OwnedRef frozen = as_frozenset(value);
        return frozen ? discard_value(self, frozen.get()) : -1;
    }

    static PyObject* discard(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            PyObject* value = single_argument(args, nargs, kwnames, "discard", "value");
            if (value == nullptr || discard_value(self, value) < 0) return nullptr;
            Py_RETURN_NONE;
        });
    }

    static PyObject* remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            PyObject* value = single_argument(args, nargs, kwnames, "remove", "value");
            if (value == nullptr) return nullptr;
            int removed = discard_value(self, value);
            if (removed < 0) return nullptr;
            if (removed == 0) return raise_key_error(value);
            Py_RETURN_NONE;
        });
    }

    static PyObject* pop(PyObject* self, PyObject*) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            ExclusiveBorrow borrow(object(self)->borrow);
            if (!borrow.held()) return raise_already_borrowed();
            Container& container = object(self)->container;
            if (container.len() == 0) {
                PyErr_SetString(PyExc_KeyError, "pop from an empty set");
                return nullptr;
            }
            // The first live key in table order, then the one
            // deferred-removal check (after the bump: the key is gone even
            // if that check fails).
            auto drain = container.extract_if([](const HashedAny&) { return true; });
            std::optional<HashedAny> key = drain.next();
            common::error::check(key.has_value(), "len > 0");
            ++object(self)->counter;
            drain.finish();
            return key->release_object();
        });
    }

    static PyObject* clear(PyObject* self, PyObject*) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            ExclusiveBorrow borrow(object(self)->borrow);
            if (!borrow.held()) return raise_already_borrowed();
            object(self)->container.clear();
            ++object(self)->counter;
            Py_RETURN_NONE;
        });
    }

    static PyObject* copy(PyObject* self, PyObject*) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            SharedBorrow borrow(object(self)->borrow);
            if (!borrow.held()) return raise_already_mutably_borrowed();
            return Object::create(type, copy_container(object(self)->container));
        });
    }

    static PyObject* update(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            ExclusiveBorrow borrow(object(self)->borrow);
            if (!borrow.held()) return raise_already_borrowed();
            bool changed = false;
            for (Py_ssize_t i = 0; i < nargs; ++i) {
                int result = add_all(object(self)->container, self, args[i]);
                if (result < 0) return nullptr;
                changed |= result > 0;
            }
            if (changed) ++object(self)->counter;
            Py_RETURN_NONE;
        });
    }

    // ---- pickling and copying -------------------------------------------------
    //
    // A set pickles as `cls.with_options(len, reserve_exponent)` followed by
    // `__setstate__(keys)`, the keys listed in iteration order. Rebuilding
    // hashes every key again in the new process (hashes of str and bytes are
    // salted per process), and the table is sized for the keys up front.

    static PyObject* reduce(PyObject* self, PyObject*) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            SharedBorrow borrow(object(self)->borrow);
            if (!borrow.held()) return raise_already_mutably_borrowed();
            const Container& container = object(self)->container;
            OwnedRef factory = OwnedRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "with_options"));
            if (!factory) return nullptr;
            OwnedRef keys = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(container.len())));
            if (!keys) return nullptr;
            Py_ssize_t index = 0;
            for (const HashedAny& key : container.iter()) {
                PyList_SET_ITEM(keys.get(), index++, Py_NewRef(key.object()));
            }
            return Py_BuildValue("O(nI)O", factory.get(), static_cast<Py_ssize_t>(container.len()),
                                 static_cast<unsigned int>(container.table().reserve_exponent()), keys.get());
        });
    }

    // Adds the keys of any iterable, as update() does with one argument.
    static PyObject* setstate(PyObject* self, PyObject* state) {
        return update(self, &state, 1);
    }

    // ---- iteration ------------------------------------------------------------

    // What the snapshot iterator notes of each stored key: its object.
    struct KeySteps : OneObjectSteps<KeySteps> {
        static PyObject* pick(const HashedAny& key) { return key.object(); }
    };

    static PyObject* iterate(PyObject* self) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            SharedBorrow borrow(object(self)->borrow);
            if (!borrow.held()) return raise_already_mutably_borrowed();
            const Container& container = object(self)->container;
            auto snapshot = snapshot_of<KeySteps>(container.iter(), container.len());
            if (!snapshot) return nullptr;
            return SnapshotIter<Object>::create(iter_type, self, object(self)->counter.load(), std::move(*snapshot));
        });
    }
};

template <class KindT>
int SetClass<KindT>::add_all(Container& target, PyObject* self, PyObject* other) {
    if (Py_IS_TYPE(other, type)) {
        // The union of a set with itself is the set: nothing to do, and no
        // borrow of our own object to ask for.
        if (other == self) return 0;
        Object* source = object(other);
        SharedBorrow borrow(source->borrow);
        if (!borrow.held()) return (raise_already_mutably_borrowed(), -1);
        std::size_t before = target.len();
        if (auto reserved = target.reserve(source->container.len()); !reserved) {
            return (raise_reserve_error(reserved.error()), -1);
        }
        // Stored keys carry their hash: no __hash__ call. Into an empty set
        // they are distinct and placed without a search.
        for (const HashedAny& key : source->container.iter()) {
            if (before == 0) {
                if (auto placed = target.insert_distinct(HashedAny::share(key)); !placed) {
                    return (raise_reserve_error(placed.error()), -1);
                }
            } else if (auto added = target.insert(HashedAny::share(key)); !added) {
                return (raise_reserve_error(added.error()), -1);
            }
        }
        return target.len() != before ? 1 : 0;
    }

    Py_ssize_t expected = PyObject_Size(other);
    if (expected < 0) {
        PyErr_Clear();  // no length: insert without reserving
    } else if (auto reserved = target.reserve(static_cast<std::size_t>(expected));
               !reserved && believable_hint(reserved.error())) {
        return (raise_reserve_error(reserved.error()), -1);
    }
    std::size_t before = target.len();
    OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(other));
    if (!iterator) return -1;
    while (OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get()))) {
        auto key = HashedAny::wrap(item.get());
        if (!key) return -1;
        auto added = target.insert(std::move(*key));
        if (!added) return (raise_reserve_error(added.error()), -1);
        key->release_attached();  // a repeated element's key was not taken
    }
    if (PyErr_Occurred()) return -1;
    return target.len() != before ? 1 : 0;
}

template <class KindT>
PyType_Spec* SetClass<KindT>::type_spec() {
    static const std::string doc = std::string(Kind::set_name) +
                                   "(iterable=None, *, capacity=0)\n--\n\nA Python wrapper around the native " +
                                   Kind::display_name + " hash set.";
    static PyMethodDef methods[] = {
        {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&add)), METH_FASTCALL | METH_KEYWORDS,
         "add($self, value)\n--\n\n"},
        {"discard", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&discard)),
         METH_FASTCALL | METH_KEYWORDS, "discard($self, value)\n--\n\n"},
        {"remove", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&remove)),
         METH_FASTCALL | METH_KEYWORDS, "remove($self, value)\n--\n\n"},
        {"pop", &pop, METH_NOARGS, "pop($self)\n--\n\n"},
        {"clear", &clear, METH_NOARGS, "clear($self)\n--\n\n"},
        {"copy", &copy, METH_NOARGS, "copy($self)\n--\n\n"},
        {"update", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&update)), METH_FASTCALL,
         "update($self, *others)\n--\n\n"},
        {"with_options", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Frame::with_options)),
         METH_FASTCALL | METH_KEYWORDS | METH_CLASS, "with_options($cls, capacity=0, reserve_exponent=None)\n--\n\n"},
        {"__class_getitem__", &class_getitem, METH_O | METH_CLASS,
         "__class_getitem__($cls, item)\n--\n\nRuntime support for `Cls[T]` via `types.GenericAlias`."},
        {"union", fastcall(&Algebra::union_), METH_FASTCALL, "union($self, *others)\n--\n\n"},
        {"intersection", fastcall(&Algebra::intersection), METH_FASTCALL, "intersection($self, *others)\n--\n\n"},
        {"difference", fastcall(&Algebra::difference), METH_FASTCALL, "difference($self, *others)\n--\n\n"},
        {"symmetric_difference", &Algebra::symmetric_difference, METH_O,
         "symmetric_difference($self, other)\n--\n\n"},
        {"intersection_update", fastcall(&Algebra::intersection_update), METH_FASTCALL,
         "intersection_update($self, *others)\n--\n\n"},
        {"difference_update", fastcall(&Algebra::difference_update), METH_FASTCALL,
         "difference_update($self, *others)\n--\n\n"},
        {"symmetric_difference_update", &Algebra::symmetric_difference_update, METH_O,
         "symmetric_difference_update($self, other)\n--\n\n"},
        {"isdisjoint", &Algebra::method_isdisjoint, METH_O, "isdisjoint($self, other)\n--\n\n"},
        {"issubset", &Algebra::method_issubset, METH_O, "issubset($self, other)\n--\n\n"},
        {"issuperset", &Algebra::method_issuperset, METH_O, "issuperset($self, other)\n--\n\n"},
        {"__reduce__", &reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
        {"__setstate__", &setstate, METH_O, "__setstate__($self, state)\n--\n\n"},
        {"__sizeof__", &Frame::sizeof_method, METH_NOARGS, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef getset[] = {
        {"capacity", &Frame::capacity, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(&construct)},
        {Py_tp_init, reinterpret_cast<void*>(&initialize)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&Object::dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(&Frame::repr)},
        {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
        {Py_tp_iter, reinterpret_cast<void*>(&iterate)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getset},
        {Py_tp_doc, const_cast<char*>(doc.c_str())},
        {Py_sq_length, reinterpret_cast<void*>(&Frame::length)},
        {Py_sq_contains, reinterpret_cast<void*>(&contains)},
        {Py_tp_richcompare, reinterpret_cast<void*>(&Algebra::richcompare)},
        {Py_nb_or, reinterpret_cast<void*>(&Algebra::nb_or)},
        {Py_nb_and, reinterpret_cast<void*>(&Algebra::nb_and)},
        {Py_nb_subtract, reinterpret_cast<void*>(&Algebra::nb_subtract)},
        {Py_nb_xor, reinterpret_cast<void*>(&Algebra::nb_xor)},
        {Py_nb_inplace_or, reinterpret_cast<void*>(&Algebra::nb_inplace_or)},
        {Py_nb_inplace_and, reinterpret_cast<void*>(&Algebra::nb_inplace_and)},
        {Py_nb_inplace_subtract, reinterpret_cast<void*>(&Algebra::nb_inplace_subtract)},
        {Py_nb_inplace_xor, reinterpret_cast<void*>(&Algebra::nb_inplace_xor)},
        {0, nullptr},
    };
    static PyType_Spec type_spec = {
        Kind::qualified_set_name, static_cast<int>(sizeof(Object)), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots,
    };
    return &type_spec;
}

template <class KindT>
PyType_Spec* SetClass<KindT>::iter_spec() {
    static PyType_Spec type_spec = SnapshotIter<Object>::make_spec(Kind::qualified_set_iter_name);
    return &type_spec;
}

}  // namespace tavoric::python
