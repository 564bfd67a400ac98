// The map fill procedure: inserting pairs from a same-class map, a dict, a
// mapping with keys(), an iterable of pairs, and keyword arguments.
//
// Used by the map constructors and by update() and |=. Every source whose
// size is known is reserved for up front, so a fill grows the table at most
// once for it. Pairs inserted before an error stay in the map; every
// reference taken for a pair that was not stored is released (all of them
// are OwnedRef or HashedAny, so every exit path does this by itself).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#include "python/errors.hpp"
#include "python/hashed_any.hpp"
#include "python/owned_ref.hpp"
#include "python/table_kind.hpp"

namespace tavoric::python {

template <class Container>
class MapFill {
public:
    explicit MapFill(Container& target) noexcept : target_(target) {}

    // True once any pair was inserted (a replaced value counts).
    bool changed() const noexcept { return changed_; }

    // Pairs of a same-class map, with their cached hashes: no __hash__ call.
    // Into an empty target the keys are known to be distinct and are placed
    // without a search, so no key equality runs either.
    bool from_same_class(const Container& source) {
        if (!reserve(source.len())) return false;
        if (target_.len() == 0) {
            for (const auto& entry : source.iter()) {
                auto placed = target_.insert_distinct(HashedAny::share(entry.key), entry.value.clone());
                if (!placed) return (raise_reserve_error(placed.error()), false);
                changed_ = true;
            }
            return true;
        }
        for (const auto& entry : source.iter()) {
            if (!insert(HashedAny::share(entry.key), entry.value.clone())) return false;
        }
        return true;
    }

    // Any other source: a dict (or subclass), an object with keys(), or an
    // iterable of pairs.
    bool from_object(PyObject* other) {
        if (PyDict_Check(other)) return from_dict(other);
        int has_keys = PyObject_HasAttrStringWithError(other, "keys");
        if (has_keys < 0) return false;
        return has_keys ? from_mapping(other) : from_pairs(other);
    }

    // A dict walked under its critical section, one PyDict_Next step at a
    // time; strong references are taken inside the section so the pair stays
    // alive while the key is hashed and compared. A dict that changes under
    // the walk (from __hash__ or __eq__ of its own keys) stops it.
    bool from_dict(PyObject* dict) {
        Py_ssize_t start_size = PyDict_GET_SIZE(dict);
        if (!reserve(static_cast<std::size_t>(start_size))) return false;
        Py_ssize_t expected = start_size;
        Py_ssize_t position = 0;
        for (;;) {
            PyObject* key = nullptr;
            PyObject* value = nullptr;
            int more;
            Py_ssize_t size;
            Py_BEGIN_CRITICAL_SECTION(dict);
            more = PyDict_Next(dict, &position, &key, &value);
            if (more) {
                Py_INCREF(key);
                Py_INCREF(value);
            }
            size = PyDict_GET_SIZE(dict);
            Py_END_CRITICAL_SECTION();
            if (!more) return true;
            OwnedRef key_ref = OwnedRef::steal(key);
            OwnedRef value_ref = OwnedRef::steal(value);
            // Only the dict's own keys (hashing, comparing) can change it here:
            // an ordinary error, as dict reports it.
            if (size != start_size) return raise_runtime_error("dictionary changed size during iteration");
            if (expected == 0) return raise_runtime_error("dictionary keys changed during iteration");
            --expected;
            auto wrapped = HashedAny::wrap(key_ref.get());
            if (!wrapped || !insert(std::move(*wrapped), std::move(value_ref))) return false;
        }
    }

private:
    // An object with keys(): other[k] for every k of other.keys().
    bool from_mapping(PyObject* mapping) {
        reserve_for_length(mapping);
        if (PyErr_Occurred()) return false;
        OwnedRef keys = OwnedRef::steal(PyObject_CallMethod(mapping, "keys", nullptr));
        if (!keys) return false;
        OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(keys.get()));
        if (!iterator) return false;
        while (OwnedRef key = OwnedRef::steal(PyIter_Next(iterator.get()))) {
            OwnedRef value = OwnedRef::steal(PyObject_GetItem(mapping, key.get()));
            if (!value) return false;
            auto wrapped = HashedAny::wrap(key.get());
            if (!wrapped || !insert(std::move(*wrapped), std::move(value))) return false;
        }
        return !PyErr_Occurred();
    }

    // Any iterable of pairs, a pair being any iterable of two elements, as
    // dict takes them: an element that cannot be iterated keeps its own
    // TypeError, with a note naming its position; one of another length is
    // a ValueError.
    bool from_pairs(PyObject* iterable) {
        reserve_for_length(iterable);
        if (PyErr_Occurred()) return false;
        OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(iterable));
        if (!iterator) return false;
        for (Py_ssize_t index = 0; OwnedRef element = OwnedRef::steal(PyIter_Next(iterator.get())); ++index) {
            OwnedRef pair = OwnedRef::steal(PySequence_Fast(element.get(), "object is not iterable"));
            if (!pair) {
                if (PyErr_ExceptionMatches(PyExc_TypeError)) add_position_note(index);
                return false;
            }
            // A list element is the caller's own list: hashing the key may
            // change it, so both halves are taken as strong references first,
            // inside the list's critical section.
            OwnedRef key;
            OwnedRef value;
            Py_BEGIN_CRITICAL_SECTION(pair.get());
            if (PySequence_Fast_GET_SIZE(pair.get()) == 2) {
                key = OwnedRef::borrow(PySequence_Fast_GET_ITEM(pair.get(), 0));
                value = OwnedRef::borrow(PySequence_Fast_GET_ITEM(pair.get(), 1));
            }
            Py_END_CRITICAL_SECTION();
            if (!key) {
                PyErr_SetString(PyExc_ValueError, "update sequence elements must be 2-tuples");
                return false;
            }
            auto wrapped = HashedAny::wrap(key.get());
            if (!wrapped || !insert(std::move(*wrapped), std::move(value))) return false;
        }
        return !PyErr_Occurred();
    }

    // Adds dict's note to the pending TypeError of element `index`.
    static void add_position_note(Py_ssize_t index) {
        PyObject* error = PyErr_GetRaisedException();
        OwnedRef note = OwnedRef::steal(
            PyUnicode_FromFormat("Cannot convert dictionary update sequence element #%zd to a sequence", index));
        PyErr_SetRaisedException(error);
        add_note_to_pending(note.get());
    }

    static bool raise_runtime_error(const char* message) {
        PyErr_SetString(PyExc_RuntimeError, message);
        return false;
    }

    // Reserves for len(source) more entries when it has a length; a failing
    // len() is forgotten. A refused reservation leaves its exception set.
    void reserve_for_length(PyObject* source) {
        Py_ssize_t length = PyObject_Size(source);
        if (length < 0) {
            PyErr_Clear();
            return;
        }
        auto reserved = target_.reserve(static_cast<std::size_t>(length));
        if (!reserved && believable_hint(reserved.error())) raise_reserve_error(reserved.error());
    }

    bool reserve(std::size_t additional) {
        auto reserved = target_.reserve(additional);
        if (!reserved) raise_reserve_error(reserved.error());
        return reserved.has_value();
    }

    // Inserts or replaces; the replaced value, and the key when an equal
    // one was stored, are released here (fills run attached). In line in
    // every fill loop: a call per pair passes both wrappers through memory.
    [[gnu::always_inline]] bool insert(HashedAny key, OwnedRef value) {
        auto previous = target_.insert(std::move(key), std::move(value));
        if (!previous) {
            raise_reserve_error(previous.error());
            return false;
        }
        if (*previous) (*previous)->release_attached();
        key.release_attached();
        changed_ = true;
        return true;
    }

    Container& target_;
    bool changed_ = false;
};

}  // namespace tavoric::python
