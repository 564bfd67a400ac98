#include "python/registration.hpp"

#include "python/errors.hpp"

#include <cstddef>
#include <vector>

namespace tavoric::python {
namespace {

// The registration order is the order of __all__.
std::vector<ClassDefinition> classes_in_order() {
    std::vector<ClassDefinition> classes = {
        elastic_hash_map_class(), funnel_hash_map_class(),  elastic_hash_set_class(),
        funnel_hash_set_class(),  elastic_set_iter_class(), funnel_set_iter_class(),
    };
    for (const ClassDefinition& definition : elastic_map_companion_classes()) classes.push_back(definition);
    for (const ClassDefinition& definition : funnel_map_companion_classes()) classes.push_back(definition);
    return classes;
}

// Type objects live as long as the process: a second module object (a
// re-import after removal from sys.modules, or another interpreter) gets the
// same types. The mutex keeps two threads importing at once from creating a
// type twice.
PyMutex type_mutex{};

// Returns a new reference to the class's type, creating it on first use, or
// nullptr with an exception set.
PyObject* type_for(const ClassDefinition& definition) {
    PyMutex_Lock(&type_mutex);
    if (*definition.type == nullptr) {
        // Stays null on failure, so the next import retries.
        *definition.type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(definition.type_spec));
    }
    PyObject* type = reinterpret_cast<PyObject*>(*definition.type);
    Py_XINCREF(type);
    PyMutex_Unlock(&type_mutex);
    return type;
}

// Appends `name` to the module's __all__, creating the list when missing.
int append_to_all(PyObject* module, const char* name) {
    PyObject* all = nullptr;
    if (PyObject_GetOptionalAttrString(module, "__all__", &all) < 0) {
        return -1;
    }
    if (all == nullptr) {
        all = PyList_New(0);
        if (all == nullptr || PyModule_AddObjectRef(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            return -1;
        }
    }
    PyObject* entry = PyUnicode_FromString(name);
    int result = entry == nullptr ? -1 : PyList_Append(all, entry);
    Py_XDECREF(entry);
    Py_DECREF(all);
    return result;
}

}  // namespace

int register_classes(PyObject* module) {
    for (const ClassDefinition& definition : classes_in_order()) {
        PyObject* type = type_for(definition);
        if (type == nullptr) return -1;
        int added = PyModule_AddObjectRef(module, definition.name, type);
        Py_DECREF(type);
        if (added < 0 || append_to_all(module, definition.name) < 0) return -1;
    }
    // The panic exception is reachable for `except` clauses but, being no
    // container class, stays out of __all__.
    PyObject* panic = panic_exception_type();
    return panic == nullptr ? -1 : PyModule_AddObjectRef(module, "PanicException", panic);
}

}  // namespace tavoric::python
