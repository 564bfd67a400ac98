// The frame every container class shares: with_options, the capacity
// property, len, `in`, repr. One template serves the four classes; each
// class supplies
//
//   Object                   its ContainerObject<Container>
//   Kind                     the table design (funnel_kind.hpp, elastic_kind.hpp)
//   name                     the class name Python sees
//   Table, Container         its table type and the container over it
//   type                     its type object
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/arguments.hpp"
#include "python/container_object.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/hashed_any.hpp"
#include "python/table_kind.hpp"

namespace tavoric::python {

template <class Class>
struct Frame {
    using Object = typename Class::Object;

    static PyObject* with_options(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            static const char* const names[] = {"capacity", "reserve_exponent"};
            PyObject* given[2];
            if (!parse_arguments(Parameters<2>{"with_options", names, 0}, args, nargs, kwnames, given)) return nullptr;
            auto options = parse_options(given[0], given[1], Class::Kind::minimum_exponent);
            if (!options) return nullptr;
            auto table = Class::Kind::template try_build<typename Class::Table::value_type>(options->capacity,
                                                                                           options->exponent);
            if (!table) throw_build_error("invalid map construction: ", table.error());
            // Always the class itself: the classes cannot be subclassed.
            return Object::create(Class::type, typename Class::Container(std::move(*table)));
        });
    }

    static Py_ssize_t length(PyObject* self) {
        Object* object = Object::from(self);
        SharedBorrow borrow(object->borrow);
        if (!borrow.held()) return (raise_already_mutably_borrowed(), -1);
        return static_cast<Py_ssize_t>(object->container.len());
    }

    static int contains(PyObject* self, PyObject* key) { return contains_filtered<contains_any>(self, key); }

    [[gnu::always_inline]] static int contains_any(PyObject* self, PyObject* key) {
        return guarded<int>(-1, [&]() -> int {
            Object* object = Object::from(self);
            SharedBorrow borrow(object->borrow);
            if (!borrow.held()) return (raise_already_mutably_borrowed(), -1);
            auto lookup = LookupKey::make(key);
            if (!lookup) return -1;
            return object->container.contains(*lookup) ? 1 : 0;
        });
    }

    // `k in c`, given `General`, the class's whole `in`. Where the table's
    // filter turns most absent keys away before its walk (Funnel's
    // membership word), an exact int or str key that the filter turns away
    // is answered here, with no stack frame and no exception guard, which
    // is most of what such a miss used to cost. A key the filter admits goes
    // on by a tail call that takes over the borrow; any other key, or a
    // refused borrow, takes `General` out of line, from the start. Other
    // tables run `General` in line.
    template <int (*General)(PyObject*, PyObject*)>
    [[gnu::always_inline]] static int contains_filtered(PyObject* self, PyObject* key) {
        if constexpr (!requires(const typename Class::Container& c) { c.may_hold(std::uint64_t{}); }) {
            return General(self, key);
        } else {
            Object* object = Object::from(self);
            const LookupKey lookup = LookupKey::make_in_line(key);
            if (!lookup.empty() && object->borrow.try_shared()) {
                const std::uint64_t hash = object->container.hash_of(lookup);
                if (!object->container.may_hold(hash)) {
                    object->borrow.release_shared();
                    return 0;
                }
                return contains_past_filter(self, lookup, hash);
            }
            return out_of_line<General>(self, key);
        }
    }

    template <int (*Body)(PyObject*, PyObject*)>
    [[gnu::noinline]] static int out_of_line(PyObject* self, PyObject* key) {
        return Body(self, key);
    }

    [[gnu::noinline]] static int contains_past_filter(PyObject* self, LookupKey lookup, std::uint64_t hash) {
        return guarded<int>(-1, [&]() -> int {
            Object* object = Object::from(self);
            SharedBorrow borrow(adopt_borrow, object->borrow);
            return object->container.contains_past_filter(lookup, hash) ? 1 : 0;
        });
    }

    static PyObject* repr(PyObject* self) {
        Object* object = Object::from(self);
        SharedBorrow borrow(object->borrow);
        if (!borrow.held()) return raise_already_mutably_borrowed();
        return PyUnicode_FromFormat("%s(len=%zu, capacity=%zu)", Class::name, object->container.len(),
                                    object->container.capacity());
    }

    static PyObject* capacity(PyObject* self, void*) {
        Object* object = Object::from(self);
        SharedBorrow borrow(object->borrow);
        if (!borrow.held()) return raise_already_mutably_borrowed();
        return PyLong_FromSize_t(object->container.capacity());
    }

    // __sizeof__: the object and every byte its table owns (storage block,
    // level array, probe schedule), so sys.getsizeof reports real memory as
    // it does for dict. Key and value objects are not counted, as for dict.
    static PyObject* sizeof_method(PyObject* self, PyObject*) {
        Object* object = Object::from(self);
        SharedBorrow borrow(object->borrow);
        if (!borrow.held()) return raise_already_mutably_borrowed();
        return PyLong_FromSize_t(Py_TYPE(self)->tp_basicsize + object->container.table().heap_bytes());
    }

    // Parses the keyword-only `capacity` of a constructor (default 0).
    static std::optional<std::uint32_t> constructor_capacity(PyObject* argument) {
        if (argument == nullptr) return 0u;
        return convert_u32(argument, "capacity");
    }
};

}  // namespace tavoric::python
