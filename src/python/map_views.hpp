// The live keys, values and items views of the map classes, and the
// snapshot iterators they (and the maps themselves) hand out.
//
// A view holds nothing but a strong reference to its map and reads the map's
// current state on every call, under a shared borrow of the map. Set
// operators on keys and items views always build a built-in `set`; they are
// served only with the view on the left, leaving `other OP view` to `other`.
//
// The three kinds differ in what an entry is (the key, the value, or a fresh
// (key, value) tuple) and in which slots they have; one template with a
// small `Which` policy covers all six classes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "python/borrow_flag.hpp"
#include "python/container_object.hpp"
#include "python/errors.hpp"
#include "python/hashed_any.hpp"
#include "python/owned_ref.hpp"
#include "python/snapshot_iter.hpp"

namespace tavoric::python {

struct ViewObject {
    PyObject_HEAD
    OwnedRef map;
    BorrowFlag borrow;

    static ViewObject* from(PyObject* self) noexcept { return reinterpret_cast<ViewObject*>(self); }
};

// What an entry of each view is.
struct KeysWhich {
    static constexpr const char* suffix = "keys";
    static constexpr const char* iter_suffix = "KeyIter";
    static constexpr const char* doc =
        "Live view over keys (mirrors `dict.keys()`). Holds `Py<map>` so\n"
        "each op sees current state \u2014 no snapshot at view construction.";
    template <class Entry>
    static OwnedRef entry(const Entry& e) {
        return OwnedRef::borrow(e.key.object());
    }
};

struct ValuesWhich {
    static constexpr const char* suffix = "values";
    static constexpr const char* iter_suffix = "ValueIter";
    static constexpr const char* doc = "Live view over values (mirrors `dict.values()`).";
    template <class Entry>
    static OwnedRef entry(const Entry& e) {
        return e.value.clone();
    }
};

struct ItemsWhich {
    static constexpr const char* suffix = "items";
    static constexpr const char* iter_suffix = "ItemIter";
    static constexpr const char* doc =
        "Live view over `(key, value)` pairs (mirrors `dict.items()`).\n"
        "Set ops build fresh `(k, v)` `PyTuple`s.";
    // A new (key, value) tuple; empty with an exception set on failure.
    template <class Entry>
    static OwnedRef entry(const Entry& e) {
        return OwnedRef::steal(PyTuple_Pack(2, e.key.object(), e.value.get()));
    }
};

// `Map` is the MapClass the views belong to.
template <class Map, class Which>
class ViewClass {
public:
    using MapObject = typename Map::Object;
    using Container = typename Map::Container;
    using Iter = SnapshotIter<MapObject>;

    // Filled in when the classes are registered.
    static inline PyTypeObject* type = nullptr;
    static inline PyTypeObject* iter_type = nullptr;

    static const std::string& name() {
        static const std::string text = std::string(Map::Kind::lower_name) + "_" + Which::suffix;
        return text;
    }
    static const std::string& iter_name() {
        static const std::string text = std::string("_") + Map::Kind::display_name + Which::iter_suffix;
        return text;
    }

    // A new view of `map` (borrowed). nullptr with an exception set.
    static PyObject* create(PyObject* map) {
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        ViewObject* view = ViewObject::from(self);
        new (&view->map) OwnedRef(OwnedRef::borrow(map));
        new (&view->borrow) BorrowFlag();
        return self;
    }

    // A new iterator over the map's entries as they are now. The map's own
    // iter() is the keys view's. nullptr with an exception set.
    static PyObject* iterate_map(PyObject* map) {
        MapObject* object = MapObject::from(map);
        std::vector<OwnedRef> snapshot;
        std::uint64_t counter;
        {
            SharedBorrow borrow(object->borrow);
            if (!borrow.held()) return raise_already_mutably_borrowed();
            snapshot.reserve(object->container.len());
            for (const auto& entry : object->container.iter()) {
                OwnedRef item = Which::entry(entry);
                if (!item) return nullptr;
                snapshot.push_back(std::move(item));
            }
            counter = object->counter.load();
        }
        return Iter::create(iter_type, map, counter, std::move(snapshot));
    }

    static PyType_Spec* type_spec();
    static PyType_Spec* iter_spec() {
        static const std::string qualified = "tavoric." + iter_name();
        static PyType_Spec type_spec = Iter::make_spec(qualified.c_str());
        return &type_spec;
    }

private:
    // Runs `body(map object, container)` under a shared borrow of the view
    // and of its map. A map held exclusively (re-entry from a mutating call,
    // or another thread) is a broken promise for a view: PanicException.
    template <class R, class F>
    static R with_map(PyObject* self, R failure, F&& body) {
        return guarded<R>(failure, [&]() -> R {
            ViewObject* view = ViewObject::from(self);
            SharedBorrow own(view->borrow);
            if (!own.held()) return (raise_already_mutably_borrowed(), failure);
            MapObject* map = MapObject::from(view->map.get());
            SharedBorrow borrow(map->borrow);
            if (!borrow.held()) return (raise_already_mutably_borrowed(), failure);
            return body(map, map->container);
        });
    }

    static Py_ssize_t length(PyObject* self) {
        return with_map<Py_ssize_t>(self, -1, [](MapObject*, const Container& c) {
            return static_cast<Py_ssize_t>(c.len());
        });
    }

    static PyObject* iterate(PyObject* self) {
        return guarded<PyObject*>(nullptr, [&] { return iterate_map(ViewObject::from(self)->map.get()); });
    }

    static int contains(PyObject* self, PyObject* x) {
        return with_map<int>(self, -1, [&](MapObject*, const Container& c) -> int {
            if constexpr (std::is_same_v<Which, KeysWhich>) {
                auto key = LookupKey::make(x);
                if (!key) return -1;
                return c.contains(*key) ? 1 : 0;
            } else if constexpr (std::is_same_v<Which, ValuesWhich>) {
                for (const auto& entry : c.iter()) {
                    if (int equal = values_equal(entry.value.get(), x); equal != 0) return equal;
                }
                return 0;
            } else {
                if (!PyTuple_Check(x) || PyTuple_GET_SIZE(x) != 2) return 0;
                auto key = LookupKey::make(PyTuple_GET_ITEM(x, 0));
                if (!key) return -1;
                const auto* entry = c.get(*key);
                return entry != nullptr ? values_equal(entry->value.get(), PyTuple_GET_ITEM(x, 1)) : 0;
            }
        });
    }

    static PyObject* repr(PyObject* self) {
        return with_map<PyObject*>(self, nullptr, [&](MapObject*, const Container& c) -> PyObject* {
            OwnedRef parts = OwnedRef::steal(PyList_New(0));
            if (!parts) return nullptr;
            for (const auto& entry : c.iter()) {
                OwnedRef text;
                if constexpr (std::is_same_v<Which, ItemsWhich>) {
                    text = OwnedRef::steal(PyUnicode_FromFormat("(%R, %R)", entry.key.object(), entry.value.get()));
                } else {
                    OwnedRef item = Which::entry(entry);
                    text = OwnedRef::steal(PyObject_Repr(item.get()));
                }
                if (!text || PyList_Append(parts.get(), text.get()) < 0) return nullptr;
            }
            OwnedRef separator = OwnedRef::steal(PyUnicode_FromString(", "));
            if (!separator) return nullptr;
            OwnedRef joined = OwnedRef::steal(PyUnicode_Join(separator.get(), parts.get()));
            if (!joined) return nullptr;
            return PyUnicode_FromFormat("%s([%U])", name().c_str(), joined.get());
        });
    }

    // Equality with any sized container supporting `in`: the same length and
    // every entry found. Errors count as "unequal".
    static PyObject* compare(PyObject* self, PyObject* other, int op) {
        switch (op) {
            case Py_LT:
            case Py_LE:
            case Py_GT:
            case Py_GE:
                Py_RETURN_NOTIMPLEMENTED;
            case Py_NE: {
                int equal = PyObject_RichCompareBool(self, other, Py_EQ);
                if (equal < 0) return nullptr;
                return PyBool_FromLong(!equal);
            }
            case Py_EQ:
                break;
            default:
                PyErr_SetString(PyExc_SystemError, "invalid compareop");
                return nullptr;
        }
        return with_map<PyObject*>(self, nullptr, [&](MapObject*, const Container& c) -> PyObject* {
            Py_ssize_t other_length = PyObject_Size(other);
            if (other_length < 0) {
                PyErr_Clear();
                Py_RETURN_FALSE;
            }
            if (static_cast<std::size_t>(other_length) != c.len()) Py_RETURN_FALSE;
            for (const auto& entry : c.iter()) {
                OwnedRef item = Which::entry(entry);
                int found = item ? PySequence_Contains(other, item.get()) : -1;
                if (found <= 0) {
                    PyErr_Clear();
                    Py_RETURN_FALSE;
                }
            }
            Py_RETURN_TRUE;
        });
    }

    enum class SetOp { difference, intersection, union_, symmetric_difference };

    template <SetOp op>
    static PyObject* set_operator(PyObject* left, PyObject* right) {
        if (!Py_IS_TYPE(left, type)) Py_RETURN_NOTIMPLEMENTED;
        return with_map<PyObject*>(left, nullptr, [&](MapObject*, const Container& c) -> PyObject* {
            OwnedRef result = OwnedRef::steal(PySet_New(nullptr));
            if (!result) return nullptr;
            for (const auto& entry : c.iter()) {
                OwnedRef item = Which::entry(entry);
                if (!item) return nullptr;
                bool keep = true;
                if constexpr (op != SetOp::union_) {
                    int found = PySequence_Contains(right, item.get());
                    if (found < 0) return nullptr;
                    keep = op == SetOp::intersection ? found == 1 : found == 0;
                }
                if (keep && PySet_Add(result.get(), item.get()) < 0) return nullptr;
            }
            if constexpr (op == SetOp::union_ || op == SetOp::symmetric_difference) {
                OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(right));
                if (!iterator) return nullptr;
                while (OwnedRef element = OwnedRef::steal(PyIter_Next(iterator.get()))) {
                    if constexpr (op == SetOp::symmetric_difference) {
                        auto key = LookupKey::make(element.get());
                        if (!key) return nullptr;
                        if (c.contains(*key)) continue;
                    }
                    if (PySet_Add(result.get(), element.get()) < 0) return nullptr;
                }
                if (PyErr_Occurred()) return nullptr;
            }
            return result.release();
        });
    }

    static void dealloc(PyObject* self) { bounded_dealloc(self, &destroy); }

    static void destroy(PyObject* self) noexcept {
        PyTypeObject* tp = Py_TYPE(self);
        ViewObject* view = ViewObject::from(self);
        view->map.~OwnedRef();
        view->borrow.~BorrowFlag();
        tp->tp_free(self);
        Py_DECREF(tp);
    }

    static PyObject* reduce(PyObject* self, PyObject*) {
        PyErr_Format(PyExc_TypeError, "cannot pickle '%s' object", Py_TYPE(self)->tp_name);
        return nullptr;
    }
};

template <class Map, class Which>
PyType_Spec* ViewClass<Map, Which>::type_spec() {
    static const std::string qualified = "tavoric." + name();
    static PyMethodDef methods[] = {
        {"__reduce__", &reduce, METH_NOARGS, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    static std::vector<PyType_Slot> slots = [] {
        std::vector<PyType_Slot> list = {
            {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
            {Py_tp_repr, reinterpret_cast<void*>(&repr)},
            {Py_tp_iter, reinterpret_cast<void*>(&iterate)},
            {Py_tp_methods, methods},
            {Py_tp_doc, const_cast<char*>(Which::doc)},
            {Py_sq_length, reinterpret_cast<void*>(&length)},
            {Py_sq_contains, reinterpret_cast<void*>(&contains)},
        };
        // Keys and items views compare like sets, are unhashable and have
        // set operators; values views keep identity comparison and hashing.
        if constexpr (!std::is_same_v<Which, ValuesWhich>) {
            list.push_back({Py_tp_richcompare, reinterpret_cast<void*>(&compare)});
            list.push_back({Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)});
            list.push_back({Py_nb_subtract, reinterpret_cast<void*>(&set_operator<SetOp::difference>)});
            list.push_back({Py_nb_and, reinterpret_cast<void*>(&set_operator<SetOp::intersection>)});
            list.push_back({Py_nb_or, reinterpret_cast<void*>(&set_operator<SetOp::union_>)});
        }
        if constexpr (std::is_same_v<Which, KeysWhich>) {
            list.push_back({Py_nb_xor, reinterpret_cast<void*>(&set_operator<SetOp::symmetric_difference>)});
        }
        list.push_back({0, nullptr});
        return list;
    }();
    static PyType_Spec type_spec = {
        qualified.c_str(), static_cast<int>(sizeof(ViewObject)), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots.data(),
    };
    return &type_spec;
}

}  // namespace tavoric::python
