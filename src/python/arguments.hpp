// Fast argument parsing for the one-argument methods on the hot paths.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tavoric::python {

// The single argument of a METH_FASTCALL | METH_KEYWORDS method that takes
// it positionally or by the keyword `keyword`. The common positional call
// costs two compares; anything else goes through the interpreter's parser
// so the error messages are the usual ones. nullptr with an exception set on
// a bad call.
inline PyObject* single_argument(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* format,
                                 const char* keyword) {
    if (nargs == 1 && kwnames == nullptr) return args[0];
    PyObject* positional = PyTuple_New(nargs);
    if (positional == nullptr) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(positional, i, Py_NewRef(args[i]));
    PyObject* keywords = nullptr;
    if (kwnames != nullptr) {
        keywords = PyDict_New();
        for (Py_ssize_t i = 0; keywords != nullptr && i < PyTuple_GET_SIZE(kwnames); ++i) {
            if (PyDict_SetItem(keywords, PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) Py_CLEAR(keywords);
        }
        if (keywords == nullptr) {
            Py_DECREF(positional);
            return nullptr;
        }
    }
    const char* const names[] = {keyword, nullptr};
    PyObject* value = nullptr;
    int parsed = PyArg_ParseTupleAndKeywords(positional, keywords, format, const_cast<char**>(names), &value);
    Py_DECREF(positional);
    Py_XDECREF(keywords);
    // `value` is borrowed from the tuple or dict just released; the caller's
    // own argument array still holds it.
    return parsed ? value : nullptr;
}

}  // namespace tavoric::python
