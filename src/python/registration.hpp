// Class registration: the module's classes, created once per process and
// published on every module object in a fixed order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tavoric::python {

// Registers every class of the module, in order: creates its type object on
// first use, sets it as a module attribute and appends its name to __all__
// (created when missing). Returns 0, or -1 with an exception set; a failure
// stops the sequence where it happened.
int register_classes(PyObject* module);

}  // namespace tavoric::python
