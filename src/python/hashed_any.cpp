#include "python/hashed_any.hpp"

#include <cstring>

#include "common/error/panic.hpp"
#include "python/errors.hpp"
#include "python/owned_ref.hpp"

namespace tavoric::python {

bool KeyWords::prepare_slow(PyObject* object, std::uintptr_t& tagged, std::intptr_t& hash) {
    Py_hash_t computed = PyObject_Hash(object);
    if (computed == -1 && PyErr_Occurred()) return false;
    std::uintptr_t address = reinterpret_cast<std::uintptr_t>(object);
    common::error::check((address & key_tag::mask) == 0, "PyObject* low bits must be zero for tag packing");
    PyTypeObject* type = Py_TYPE(object);
    std::uintptr_t tag = type == &PyUnicode_Type ? key_tag::exact_str
                         : type == &PyLong_Type  ? key_tag::exact_int
                                                 : key_tag::other;
    tagged = address | tag;
    hash = static_cast<std::intptr_t>(computed);
    return true;
}

namespace {

enum class Native { equal, unequal, undecided };

// Exact ints beyond one digit (those compare in line) that fit in 64 bits
// compare by value; ints that overflow in different directions (or one fits,
// the other not) cannot be equal; ints that overflow the same way are left
// to rich comparison.
Native compare_ints(PyObject* probe, PyObject* stored) {
    int probe_overflow = 0;
    int stored_overflow = 0;
    long long probe_value = PyLong_AsLongLongAndOverflow(probe, &probe_overflow);
    long long stored_value = PyLong_AsLongLongAndOverflow(stored, &stored_overflow);
    if (probe_overflow == 0 && stored_overflow == 0) {
        return probe_value == stored_value ? Native::equal : Native::unequal;
    }
    return probe_overflow != stored_overflow ? Native::unequal : Native::undecided;
}

}  // namespace

bool KeyWords::equal_slow(const KeyWords& stored) const {
    AttachedThread attached;
    // Equality runs inside table operations that may be on an error path of
    // their own; keep any pending exception out of the comparison and put it
    // back afterwards (a failing comparison replaces it: that is the error
    // the operation stops for).
    PyObject* pending = PyErr_GetRaisedException();
    PyObject* probe_object = object();
    PyObject* stored_object = stored.object();

    Native native = Native::undecided;
    if (tag() == key_tag::exact_int && stored.tag() == key_tag::exact_int) {
        native = compare_ints(probe_object, stored_object);
    }

    bool equal = native == Native::equal;
    if (native == Native::undecided) {
        OwnedRef result = OwnedRef::steal(PyObject_RichCompare(probe_object, stored_object, Py_EQ));
        int truth = result ? PyObject_IsTrue(result.get()) : -1;
        result = OwnedRef();  // released before the pending exception is restored
        if (truth < 0) {
            Py_XDECREF(pending);
            throw PythonErrorSet{};
        }
        equal = truth > 0;
    }
    PyErr_SetRaisedException(pending);
    return equal;
}

}  // namespace tavoric::python
