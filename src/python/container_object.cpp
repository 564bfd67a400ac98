#include "python/container_object.hpp"

#include "python/owned_ref.hpp"

namespace tavoric::python {

bool must_propagate() {
    return !PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError) ||
           PyErr_ExceptionMatches(PyExc_RecursionError);
}

int values_equal(PyObject* stored, PyObject* other) {
    OwnedRef result = OwnedRef::steal(PyObject_RichCompare(stored, other, Py_EQ));
    int truth = result ? PyObject_IsTrue(result.get()) : -1;
    if (truth < 0) {
        if (must_propagate()) return -1;
        PyErr_Clear();
        return 0;
    }
    return truth;
}

std::nullptr_t raise_key_error(PyObject* key) {
    OwnedRef error = OwnedRef::steal(PyObject_CallOneArg(PyExc_KeyError, key));
    if (error) PyErr_SetObject(PyExc_KeyError, error.get());
    return nullptr;
}

PyObject* class_getitem(PyObject* cls, PyObject* item) {
    // Imported on every call: the module keeps no state between calls.
    OwnedRef name = OwnedRef::steal(PyUnicode_FromString("types"));
    if (!name) return nullptr;
    OwnedRef types = OwnedRef::steal(PyImport_Import(name.get()));
    if (!types) return nullptr;
    OwnedRef alias = OwnedRef::steal(PyObject_GetAttrString(types.get(), "GenericAlias"));
    if (!alias) return nullptr;
    return PyObject_CallFunctionObjArgs(alias.get(), cls, item, nullptr);
}

}  // namespace tavoric::python
