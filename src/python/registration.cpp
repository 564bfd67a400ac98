#include "python/registration.hpp"

#include "python/errors.hpp"
#include "python/owned_ref.hpp"

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

// The class's type, created on first use; empty with an exception set.
OwnedRef type_for(const ClassDefinition& definition) {
    PyMutex_Lock(&type_mutex);
    if (*definition.type == nullptr) {
        // Stays null on failure, so the next import retries.
        *definition.type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(definition.type_spec));
    }
    OwnedRef type = OwnedRef::borrow(reinterpret_cast<PyObject*>(*definition.type));
    PyMutex_Unlock(&type_mutex);
    return type;
}

// Appends `name` to the module's __all__, creating the list when missing.
int append_to_all(PyObject* module, const char* name) {
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttrString(module, "__all__", &found) < 0) return -1;
    OwnedRef all = OwnedRef::steal(found);
    if (!all) {
        all = OwnedRef::steal(PyList_New(0));
        if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return -1;
    }
    OwnedRef entry = OwnedRef::steal(PyUnicode_FromString(name));
    return entry ? PyList_Append(all.get(), entry.get()) : -1;
}

}  // namespace

int register_classes(PyObject* module) {
    for (const ClassDefinition& definition : classes_in_order()) {
        OwnedRef type = type_for(definition);
        if (!type || PyModule_AddObjectRef(module, definition.name, type.get()) < 0 ||
            append_to_all(module, definition.name) < 0) {
            return -1;
        }
    }
    // The panic exception is reachable for `except` clauses but, being no
    // container class, stays out of __all__.
    PyObject* panic = panic_exception_type();
    return panic == nullptr ? -1 : PyModule_AddObjectRef(module, "PanicException", panic);
}

}  // namespace tavoric::python
