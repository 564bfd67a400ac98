#include "python/container_object.hpp"

namespace tavoric::python {

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
