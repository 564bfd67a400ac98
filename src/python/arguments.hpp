// Fast argument parsing for the methods on the hot paths.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

namespace tavoric::python {

// Parses the arguments of a METH_FASTCALL | METH_KEYWORDS method whose N
// parameters may be given positionally or by keyword; the first `required`
// must be given. Fills `out` with borrowed references (nullptr for omitted
// ones). Positional-only calls, the common case, cost a few compares; the
// keyword path matches names by identity first, then by value. Returns false
// with TypeError set on a bad call, worded like the interpreter's own.
template <int N>
bool parse_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* function,
                     const char* const (&names)[N], int required, PyObject* (&out)[N]) {
    for (int i = 0; i < N; ++i) out[i] = nullptr;
    if (nargs > N) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %d argument%s (%zd given)", function, N,
                     N == 1 ? "" : "s", nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames != nullptr) {
        Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < count; ++k) {
            PyObject* name = PyTuple_GET_ITEM(kwnames, k);
            const char* text = PyUnicode_AsUTF8(name);
            if (text == nullptr) return false;
            int index = -1;
            for (int i = 0; i < N; ++i) {
                if (std::strcmp(text, names[i]) == 0) index = i;
            }
            if (index < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", function, text);
                return false;
            }
            if (out[index] != nullptr) {
                PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%d)", function,
                             text, index + 1);
                return false;
            }
            out[index] = args[nargs + k];
        }
    }
    for (int i = 0; i < required; ++i) {
        if (out[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %d)", function, names[i], i + 1);
            return false;
        }
    }
    return true;
}

// The single required argument of a method taking it positionally or by
// the keyword `keyword`. nullptr with an exception set on a bad call.
inline PyObject* single_argument(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* function,
                                 const char* keyword) {
    if (nargs == 1 && kwnames == nullptr) return args[0];
    const char* const names[] = {keyword};
    PyObject* out[1];
    return parse_arguments(args, nargs, kwnames, function, names, 1, out) ? out[0] : nullptr;
}

}  // namespace tavoric::python
