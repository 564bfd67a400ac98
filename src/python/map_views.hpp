// The live keys, values and items views of the map classes, and the
// snapshot iterators they (and the maps themselves) hand out.
//
// A view holds nothing but a strong reference to its map and reads the map's
// current state on every call, under a shared borrow of the map. Keys and
// items views are set-like as dict's are: their set operators take any
// iterable on either side, walk it once and build a built-in `set`; they
// order against set-like operands by inclusion, and answer isdisjoint().
// Every view, and the map itself, can also be walked backwards.
//
// The three kinds differ in what an entry is (the key, the value, or a fresh
// (key, value) tuple) and in which slots they have; one template with a
// small `Which` policy covers all six classes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <new>
#include <string>
#include <utility>
#include <type_traits>
#include <vector>

#include "python/borrow_flag.hpp"
#include "python/container_object.hpp"
#include "python/errors.hpp"
#include "python/hashed_any.hpp"
#include "python/owned_ref.hpp"
#include "python/set_algebra.hpp"
#include "python/snapshot_iter.hpp"

namespace tavoric::python {

struct ViewObject {
    PyObject_HEAD
    OwnedRef map;
    BorrowFlag borrow;

    static ViewObject* from(PyObject* self) noexcept { return reinterpret_cast<ViewObject*>(self); }
};

// The keys and items view classes of both map kinds (the addresses of their
// `type` members, filled in at registration). Order comparisons take any of
// them as set-like without asking collections.abc. Appended to once per class,
// while its type description is first built during module initialisation;
// only read afterwards.
inline std::vector<PyTypeObject* const*>& set_like_view_types() {
    static std::vector<PyTypeObject* const*> types;
    return types;
}

inline bool is_set_like_view(PyObject* object) noexcept {
    for (PyTypeObject* const* type : set_like_view_types()) {
        if (Py_IS_TYPE(object, *type)) return true;
    }
    return false;
}

// What an entry of each view is, and the snapshot iterator's steps for it
// (snapshot_of in snapshot_iter.hpp).
struct KeysWhich : OneObjectSteps<KeysWhich> {
    static constexpr const char* suffix = "keys";
    static constexpr const char* iter_suffix = "KeyIter";
    static constexpr const char* doc =
        "Live view over keys (mirrors `dict.keys()`). Holds `Py<map>` so\n"
        "each op sees current state \u2014 no snapshot at view construction.";
    template <class Entry>
    static PyObject* pick(const Entry& e) {
        return e.key.object();
    }
};

struct ValuesWhich : OneObjectSteps<ValuesWhich> {
    static constexpr const char* suffix = "values";
    static constexpr const char* iter_suffix = "ValueIter";
    static constexpr const char* doc = "Live view over values (mirrors `dict.values()`).";
    template <class Entry>
    static PyObject* pick(const Entry& e) {
        return e.value.get();
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
    template <class Entry>
    static const Entry* pick(const Entry& e) {
        return &e;
    }
    template <class Entry>
    static void warm(const Entry* e) {
        python::warm(e->key.object());
        python::warm(e->value.get());
    }
    template <class Entry>
    static OwnedRef make(const Entry* e) {
        return entry(*e);
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

    // A new iterator over the map's entries as they are now, in iteration
    // order or (backwards) the reverse of it. The map's own iter() and
    // reversed() are the keys view's. nullptr with an exception set.
    static PyObject* iterate_map(PyObject* map, bool backwards = false) {
        MapObject* object = MapObject::from(map);
        std::vector<OwnedRef> snapshot;
        std::uint64_t counter;
        {
            SharedBorrow borrow(object->borrow);
            if (!borrow.held()) return raise_already_mutably_borrowed();
            auto made = snapshot_of<Which>(object->container.iter(), object->container.len());
            if (!made) return nullptr;
            snapshot = std::move(*made);
            counter = object->counter.load();
        }
        // Reversing the copy keeps one snapshot iterator class for both
        // directions, with the same change detection.
        if (backwards) std::reverse(snapshot.begin(), snapshot.end());
        return Iter::create(iter_type, map, counter, std::move(snapshot));
    }

    // The map's __reversed__ (a METH_NOARGS method of the map class).
    static PyObject* reversed_map(PyObject* map, PyObject*) {
        return guarded<PyObject*>(nullptr, [&] { return iterate_map(map, true); });
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
    // or another thread) is refused: RuntimeError "Already mutably borrowed".
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

    static PyObject* reversed(PyObject* self, PyObject*) {
        return guarded<PyObject*>(nullptr, [&] { return iterate_map(ViewObject::from(self)->map.get(), true); });
    }

    // view.mapping: a read-only proxy of the live map, as dict's views give.
    static PyObject* mapping(PyObject* self, void*) {
        return guarded<PyObject*>(nullptr, [&] { return PyDictProxy_New(ViewObject::from(self)->map.get()); });
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

    // Whether every entry of `inner` is in `outer`: 1, 0, or -1 with an
    // exception set. Both are walked through the interpreter, so each step
    // borrows whichever of them is a view only for that step: a key's
    // __eq__ may read (or even change) the map in between.
    static int all_contained_in(PyObject* inner, PyObject* outer) {
        OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(inner));
        if (!iterator) return -1;
        while (OwnedRef element = OwnedRef::steal(PyIter_Next(iterator.get()))) {
            int found = PySequence_Contains(outer, element.get());
            if (found <= 0) return found;
        }
        return PyErr_Occurred() ? -1 : 1;
    }

    // <, <=, >, >= as inclusion, like dict's views: only against set-like
    // operands (built-in sets, dict's keys and items views, our keys and items
    // views, collections.abc.Set instances); anything else is left to the
    // other operand. Errors propagate, as dict's do.
    static PyObject* order(PyObject* self, PyObject* other, int op) {
        int set_like = is_set_like_view(other) ? 1 : is_set_like(other);
        if (set_like < 0) return nullptr;
        if (set_like == 0) Py_RETURN_NOTIMPLEMENTED;
        Py_ssize_t own = PyObject_Size(self);
        if (own < 0) return nullptr;
        Py_ssize_t theirs = PyObject_Size(other);
        if (theirs < 0) return nullptr;
        int result = 0;
        switch (op) {
            case Py_LT: result = own < theirs ? all_contained_in(self, other) : 0; break;
            case Py_LE: result = own <= theirs ? all_contained_in(self, other) : 0; break;
            case Py_GT: result = own > theirs ? all_contained_in(other, self) : 0; break;
            default: result = own >= theirs ? all_contained_in(other, self) : 0; break;
        }
        return result < 0 ? nullptr : PyBool_FromLong(result);
    }

    // Equality with any sized container supporting `in`: the same length and
    // every entry found. Errors count as "unequal".
    static PyObject* compare(PyObject* self, PyObject* other, int op) {
        switch (op) {
            case Py_LT:
            case Py_LE:
            case Py_GT:
            case Py_GE:
                return guarded<PyObject*>(nullptr, [&] { return order(self, other, op); });
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
            // Errors count as "unequal", except the ones no comparison may
            // hide (must_propagate).
            Py_ssize_t other_length = PyObject_Size(other);
            if (other_length < 0) {
                if (must_propagate()) return nullptr;
                PyErr_Clear();
                Py_RETURN_FALSE;
            }
            if (static_cast<std::size_t>(other_length) != c.len()) Py_RETURN_FALSE;
            for (const auto& entry : c.iter()) {
                OwnedRef item = Which::entry(entry);
                int found = item ? PySequence_Contains(other, item.get()) : -1;
                if (found < 0 && must_propagate()) return nullptr;
                if (found <= 0) {
                    PyErr_Clear();
                    Py_RETURN_FALSE;
                }
            }
            Py_RETURN_TRUE;
        });
    }

    // left - right, left | right and left ^ right with the view on either
    // side, as dict's views do them: the left operand becomes a new built-in
    // set (a view through its snapshot iterator, anything else through its
    // own iteration), then that set's own `method` takes the right operand,
    // walking it once. A one-shot iterator on either side is thus used once,
    // and no borrow is held while user code (__hash__, __eq__, a generator)
    // runs.
    template <const char* method>
    static PyObject* set_operator(PyObject* left, PyObject* right) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            OwnedRef result = OwnedRef::steal(PySet_New(left));
            if (!result) return nullptr;
            // By name and with one object argument: the "O" format of
            // PyObject_CallMethod would spread a tuple operand into arguments.
            OwnedRef name = OwnedRef::steal(PyUnicode_FromString(method));
            if (!name) return nullptr;
            OwnedRef done = OwnedRef::steal(PyObject_CallMethodOneArg(result.get(), name.get(), right));
            if (!done) return nullptr;
            return result.release();
        });
    }

    static constexpr char difference_update[] = "difference_update";
    static constexpr char update[] = "update";
    static constexpr char symmetric_difference_update[] = "symmetric_difference_update";

    // Whether `other` is one of dict's own set-like views. Dict's views treat
    // ours as plain iterables when choosing which operand to walk, and so do
    // we: the same operands then give the same objects in the result.
    static bool is_dict_set_like_view(PyObject* other) { return PyDictKeys_Check(other) || PyDictItems_Check(other); }

    // left & right with the view on either side, walking one operand once
    // and keeping each of its elements the other holds. Which one is walked
    // (and so whose objects the result holds: `{1: 0}.keys() & [1.0]` is
    // `{1.0}`) follows dict's views: a built-in set at least as large as the
    // view does the work itself, a larger dict view is probed by the
    // smaller one, and anything else is walked and probed in the view.
    static PyObject* intersection(PyObject* left, PyObject* right) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            bool view_on_left = Py_IS_TYPE(left, type);
            if (!view_on_left && !Py_IS_TYPE(right, type)) Py_RETURN_NOTIMPLEMENTED;
            PyObject* view = view_on_left ? left : right;
            PyObject* other = view_on_left ? right : left;
            Py_ssize_t own = length(view);
            if (own < 0) return nullptr;
            if (PySet_CheckExact(other) && own <= PySet_GET_SIZE(other)) {
                OwnedRef name = OwnedRef::steal(PyUnicode_FromString("intersection"));
                if (!name) return nullptr;
                return PyObject_CallMethodOneArg(other, name.get(), view);
            }
            PyObject* walked = other;
            PyObject* probed = view;
            if (is_dict_set_like_view(other)) {
                Py_ssize_t theirs = PyObject_Size(other);
                if (theirs < 0) return nullptr;
                if (theirs > own) std::swap(walked, probed);
            }
            OwnedRef result = OwnedRef::steal(PySet_New(nullptr));
            if (!result) return nullptr;
            OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(walked));
            if (!iterator) return nullptr;
            while (OwnedRef element = OwnedRef::steal(PyIter_Next(iterator.get()))) {
                int found = PySequence_Contains(probed, element.get());
                if (found < 0) return nullptr;
                if (found == 1 && PySet_Add(result.get(), element.get()) < 0) return nullptr;
            }
            if (PyErr_Occurred()) return nullptr;
            return result.release();
        });
    }

    // True when the view and `other` (any iterable, walked at most once)
    // share no element. As with dict's views, a larger set or dict view is
    // probed by the view's entries instead of walked.
    static PyObject* isdisjoint(PyObject* self, PyObject* other) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            PyObject* walked = other;
            PyObject* probed = self;
            if (PyAnySet_Check(other) || is_dict_set_like_view(other)) {
                Py_ssize_t own = length(self);
                if (own < 0) return nullptr;
                Py_ssize_t theirs = PyObject_Size(other);
                if (theirs < 0) return nullptr;
                if (theirs > own) std::swap(walked, probed);
            }
            OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(walked));
            if (!iterator) return nullptr;
            while (OwnedRef element = OwnedRef::steal(PyIter_Next(iterator.get()))) {
                int found = PySequence_Contains(probed, element.get());
                if (found < 0) return nullptr;
                if (found == 1) Py_RETURN_FALSE;
            }
            if (PyErr_Occurred()) return nullptr;
            Py_RETURN_TRUE;
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
    // Values views are not set-like: no isdisjoint(), and the null entry
    // ends their table early.
    static PyMethodDef methods[] = {
        {"__reduce__", &reduce, METH_NOARGS, nullptr},
        {"__reversed__", &reversed, METH_NOARGS, nullptr},
        {std::is_same_v<Which, ValuesWhich> ? nullptr : "isdisjoint", &isdisjoint, METH_O,
         "isdisjoint($self, other, /)\n--\n\nTrue when the view and `other` have no element in common."},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef getset[] = {
        {"mapping", &mapping, nullptr, "A read-only proxy of the map this view belongs to.", nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static std::vector<PyType_Slot> slots = [] {
        std::vector<PyType_Slot> list = {
            {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
            {Py_tp_repr, reinterpret_cast<void*>(&repr)},
            {Py_tp_iter, reinterpret_cast<void*>(&iterate)},
            {Py_tp_methods, methods},
            {Py_tp_getset, getset},
            {Py_tp_doc, const_cast<char*>(Which::doc)},
            {Py_sq_length, reinterpret_cast<void*>(&length)},
            {Py_sq_contains, reinterpret_cast<void*>(&contains)},
        };
        // Keys and items views compare like sets, are unhashable and have
        // set operators; values views keep identity comparison and hashing.
        if constexpr (!std::is_same_v<Which, ValuesWhich>) {
            set_like_view_types().push_back(&type);
            list.push_back({Py_tp_richcompare, reinterpret_cast<void*>(&compare)});
            list.push_back({Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)});
            list.push_back({Py_nb_subtract, reinterpret_cast<void*>(&set_operator<difference_update>)});
            list.push_back({Py_nb_and, reinterpret_cast<void*>(&intersection)});
            list.push_back({Py_nb_or, reinterpret_cast<void*>(&set_operator<update>)});
            list.push_back({Py_nb_xor, reinterpret_cast<void*>(&set_operator<symmetric_difference_update>)});
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
