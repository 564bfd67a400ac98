// FunnelHashMap and ElasticHashMap: the map classes, one template over the
// table kind.
//
// The container maps HashedAny keys to OwnedRef values: one strong reference
// per stored key and value, released when the entry goes. Like the set
// classes, every method runs under the object's borrow flag (exclusive to
// change, shared to read) for its whole run.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>

#include "map/hash_map.hpp"
#include "python/container_object.hpp"
#include "python/errors.hpp"
#include "python/frame.hpp"
#include "python/hashed_any.hpp"
#include "python/map_fill.hpp"
#include "python/owned_ref.hpp"
#include "python/table_kind.hpp"

namespace tavoric::python {

template <class KindT>
class MapClass {
    using Frame = python::Frame<MapClass>;

public:
    using Kind = KindT;
    using Table = typename Kind::template Table<OwnedRef>;
    using Container = map::HashMap<HashedAny, OwnedRef, Table>;
    using Object = ContainerObject<Container>;

    static constexpr const char* name = Kind::map_name;
    // Filled in when the classes are registered.
    static inline PyTypeObject* type = nullptr;

    static std::expected<Container, TryBuildError> make_container(std::size_t capacity, std::uint32_t exponent) {
        auto table = Kind::template try_build<OwnedRef>(capacity, exponent);
        if (!table) return std::unexpected(table.error());
        return Container(std::move(*table));
    }

    // The class wrapper of the fill: inserts `other` (may be null) and then
    // the keyword pairs (may be null) into `target`, which belongs to `self`
    // (null while constructing). Bumps the counter once when anything was
    // inserted and the whole fill succeeded. 0, or -1 with an exception set;
    // pairs inserted before a failure stay.
    static int update(Container& target, std::uint64_t* counter, PyObject* self, PyObject* other,
                      PyObject* kwargs) {
        MapFill<Container> fill(target);
        bool filled = true;
        if (other != nullptr && other != self) {
            if (Py_IS_TYPE(other, type)) {
                Object* source = Object::from(other);
                SharedBorrow borrow(source->borrow);
                if (!borrow.held()) return (panic_already_mutably_borrowed(), -1);
                filled = fill.from_same_class(source->container);
            } else {
                filled = fill.from_object(other);
            }
        }
        // A map updated from itself already holds every pair: only the
        // keyword pairs can change it.
        if (filled && kwargs != nullptr) filled = fill.from_dict(kwargs);
        if (!filled) return -1;
        if (fill.changed() && counter != nullptr) ++*counter;
        return 0;
    }

    static PyType_Spec* spec();

private:
    static PyObject* construct(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            Py_ssize_t positional = PyTuple_GET_SIZE(args);
            if (positional > 1) {
                PyErr_Format(PyExc_TypeError, "%s() takes at most 1 positional argument (%zd given)", name,
                             positional);
                return nullptr;
            }
            PyObject* other = positional == 1 ? PyTuple_GET_ITEM(args, 0) : nullptr;
            // `other` and `capacity` are parameters; every other keyword is a
            // pair to insert. The keyword dict is the caller's fresh copy.
            OwnedRef pairs;
            OwnedRef capacity_argument;
            OwnedRef other_keyword;
            if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
                pairs = OwnedRef::steal(PyDict_Copy(kwargs));
                if (!pairs) return nullptr;
                PyObject* taken = nullptr;
                if (PyDict_PopString(pairs.get(), "capacity", &taken) < 0) return nullptr;
                capacity_argument = OwnedRef::steal(taken);
                if (PyDict_PopString(pairs.get(), "other", &taken) < 0) return nullptr;
                other_keyword = OwnedRef::steal(taken);
                if (other_keyword) {
                    if (other != nullptr) {
                        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument 'other'", name);
                        return nullptr;
                    }
                    other = other_keyword.get();
                }
                if (PyDict_GET_SIZE(pairs.get()) == 0) pairs = OwnedRef();
            }
            auto capacity = Frame::constructor_capacity(capacity_argument.get());
            if (!capacity) return nullptr;
            Container container(Kind::template build<OwnedRef>(*capacity));
            if (is_absent(other)) other = nullptr;
            if ((other != nullptr || pairs) && update(container, nullptr, nullptr, other, pairs.get()) < 0) {
                return nullptr;
            }
            return Object::create(cls, std::move(container));
        });
    }
};

template <class KindT>
PyType_Spec* MapClass<KindT>::spec() {
    static const std::string doc = std::string(name) +
                                   "(other=None, *, capacity=0, **kwargs)\n--\n\nA Python wrapper around the native " +
                                   Kind::display_name + " hash map.";
    static PyMethodDef methods[] = {
        {"with_options", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Frame::with_options)),
         METH_VARARGS | METH_KEYWORDS | METH_CLASS, "with_options($cls, capacity=0, reserve_exponent=None)\n--\n\n"},
        {"__class_getitem__", &class_getitem, METH_O | METH_CLASS,
         "__class_getitem__($cls, item)\n--\n\nRuntime support for `Cls[K, V]` syntax via `types.GenericAlias`\n"
         "\u2014 parity with the `Generic[K, V]` typing stub."},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef getset[] = {
        {"capacity", &Frame::capacity, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(&construct)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&Object::dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(&Frame::repr)},
        {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getset},
        {Py_tp_doc, const_cast<char*>(doc.c_str())},
        {Py_sq_length, reinterpret_cast<void*>(&Frame::length)},
        {Py_sq_contains, reinterpret_cast<void*>(&Frame::contains)},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        Kind::qualified_map_name, static_cast<int>(sizeof(Object)), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots,
    };
    return &spec;
}

}  // namespace tavoric::python
