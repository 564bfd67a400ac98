#include "python/container_object.hpp"

namespace tavoric::python {

bool must_propagate() {
    return !PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError) ||
           PyErr_ExceptionMatches(PyExc_RecursionError);
}

int values_equal(PyObject* stored, PyObject* other) {
    PyObject* result = PyObject_RichCompare(stored, other, Py_EQ);
    int truth = result == nullptr ? -1 : PyObject_IsTrue(result);
    Py_XDECREF(result);
    if (truth < 0) {
        if (must_propagate()) return -1;
        PyErr_Clear();
        return 0;
    }
    return truth;
}

PyObject* class_getitem(PyObject* cls, PyObject* item) {
    // Imported on every call: the module keeps no state between calls.
    PyObject* name = PyUnicode_FromString("types");
    if (name == nullptr) return nullptr;
    PyObject* types = PyImport_Import(name);
    Py_DECREF(name);
    if (types == nullptr) return nullptr;
    PyObject* alias = PyObject_GetAttrString(types, "GenericAlias");
    Py_DECREF(types);
    if (alias == nullptr) return nullptr;
    PyObject* result = PyObject_CallFunctionObjArgs(alias, cls, item, nullptr);
    Py_DECREF(alias);
    return result;
}

}  // namespace tavoric::python
