// The module entry of tavoric.
//
// The module uses multi-phase initialisation: PyInit_tavoric only hands the
// interpreter the definition below, and the execution slot fills the new
// module object by registering the classes, in a fixed order, each as a
// module attribute and as an entry of __all__. The module keeps no
// per-module state and has no module-level functions.
//
// It is written for the free-threaded interpreter and says so with the
// Py_mod_gil slot: every container object guards itself with its own borrow
// flag, so nothing here relies on the global interpreter lock.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/arena/aligned_block.hpp"
#include "python/registration.hpp"

namespace tavoric::python {
namespace {

// Table blocks are reported to tracemalloc in its default domain, so
// tracemalloc snapshots and get_traced_memory() include table storage. Both
// calls return at once while tracemalloc is not tracing; they attach the
// thread themselves, so a block released from any thread is reported too.
void block_allocated(void* base, std::size_t size) noexcept {
    (void)PyTraceMalloc_Track(0, reinterpret_cast<std::uintptr_t>(base), size);
}
void block_released(void* base) noexcept { (void)PyTraceMalloc_Untrack(0, reinterpret_cast<std::uintptr_t>(base)); }
constexpr common::arena::BlockObserver tracemalloc_observer{&block_allocated, &block_released};

#ifdef TAVORIC_FAULT_INJECTION
// Test builds only: `tavoric._fail_next_rebuild()` makes the next table
// rebuild on this thread stop with an invariant failure before it changes
// anything, so the tests can watch such a failure leave a removal or a
// draining walk as a Python exception.
PyObject* fail_next_rebuild(PyObject*, PyObject*) {
    common::arena::RebuildFaults::fail_next();
    Py_RETURN_NONE;
}
PyMethodDef fault_methods[] = {
    {"_fail_next_rebuild", &fail_next_rebuild, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
#endif

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'PyModule'",
                     Py_TYPE(module)->tp_name);
        return -1;
    }
    // The slot below refuses isolated subinterpreters only; one configured
    // like the main interpreter (sharing its GIL) skips that check, so the
    // module refuses it itself.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, "module tavoric does not support loading in subinterpreters");
        return -1;
    }
    common::arena::set_block_observer(&tracemalloc_observer);
#ifdef TAVORIC_FAULT_INJECTION
    if (PyModule_AddFunctions(module, fault_methods) < 0) return -1;
#endif
    return register_classes(module);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    // The classes are process-wide type objects (registration.cpp), so a
    // subinterpreter, even one sharing the main interpreter's GIL, would use
    // the main interpreter's types: every subinterpreter is refused.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tavoric",      // m_name
    "",             // m_doc: the module documents itself through its classes
    0,              // m_size: no per-module state
    nullptr,        // m_methods: no module-level functions
    module_slots,   // m_slots
    nullptr,        // m_traverse
    nullptr,        // m_clear
    nullptr,        // m_free
};

}  // namespace
}  // namespace tavoric::python

PyMODINIT_FUNC PyInit_tavoric(void) {
    return PyModuleDef_Init(&tavoric::python::module_definition);
}
