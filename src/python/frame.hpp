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

    static int contains(PyObject* self, PyObject* key) {
        return guarded<int>(-1, [&]() -> int {
            Object* object = Object::from(self);
            SharedBorrow borrow(object->borrow);
            if (!borrow.held()) return (raise_already_mutably_borrowed(), -1);
            auto lookup = LookupKey::make(key);
            if (!lookup) return -1;
            return object->container.contains(*lookup) ? 1 : 0;
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
