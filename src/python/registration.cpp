#include "python/registration.hpp"

#include <array>
#include <cstddef>

namespace tavoric::python {
namespace {

struct ClassEntry {
    const char* name;     // the name Python sees, and the entry in __all__
    PyType_Spec* spec;    // the type's specification
};

// The registration order is the order of __all__. The container, view and
// iterator classes take their places here as they are built.
constexpr std::array<ClassEntry, 0> classes{};

// Type objects live as long as the process: a second module object (a
// re-import after removal from sys.modules, or another interpreter) gets the
// same types. The mutex keeps two threads importing at once from creating a
// type twice.
std::array<PyObject*, classes.size()> type_cache{};
PyMutex type_cache_mutex{};

// Returns a new reference to the type of entry `index`, creating it on first
// use, or nullptr with an exception set.
PyObject* type_for(std::size_t index) {
    PyMutex_Lock(&type_cache_mutex);
    PyObject* type = type_cache[index];
    if (type == nullptr) {
        type = PyType_FromSpec(classes[index].spec);
        type_cache[index] = type;  // stays null on failure, so the next import retries
    }
    Py_XINCREF(type);
    PyMutex_Unlock(&type_cache_mutex);
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
    for (std::size_t index = 0; index < classes.size(); ++index) {
        PyObject* type = type_for(index);
        if (type == nullptr) {
            return -1;
        }
        int added = PyModule_AddObjectRef(module, classes[index].name, type);
        Py_DECREF(type);
        if (added < 0 || append_to_all(module, classes[index].name) < 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace tavoric::python
