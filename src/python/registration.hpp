// Class registration: the module's classes, created once per process and
// published on every module object in a fixed order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>

namespace tavoric::python {

// One class of the module: the name Python sees (and its entry in __all__),
// its type description, and where the class keeps its type object once
// created (its methods need it to make new instances).
struct ClassDefinition {
    const char* name;
    PyType_Spec* type_spec;
    PyTypeObject** type;
};

// Each class's translation unit provides its definition. A map's views and
// iterators come with it: keys, values, items views, then the key, value and
// item iterators.
ClassDefinition elastic_hash_map_class();
ClassDefinition funnel_hash_map_class();
ClassDefinition elastic_hash_set_class();
ClassDefinition funnel_hash_set_class();
ClassDefinition elastic_set_iter_class();
ClassDefinition funnel_set_iter_class();
std::array<ClassDefinition, 6> elastic_map_companion_classes();
std::array<ClassDefinition, 6> funnel_map_companion_classes();

// Registers every class of the module, in order: creates its type object on
// first use, sets it as a module attribute and appends its name to __all__
// (created when missing). Returns 0, or -1 with an exception set; a failure
// stops the sequence where it happened.
int register_classes(PyObject* module);

}  // namespace tavoric::python
