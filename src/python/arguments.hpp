// The one argument parser of the module's methods and constructors.
//
// A function has N named parameters; the first `positional` of them may be
// given by position, the first `required` must be given. Either calling form
// the interpreter uses is accepted: the fast one (a vector of arguments and
// a tuple of keyword names) and the classic one (a tuple and a dict, for
// constructors and __init__). `out` receives borrowed references, nullptr for
// omitted parameters. Positional-only calls, the common case, cost a few
// compares. A bad call returns false with TypeError set, worded like the
// interpreter's own.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

namespace tavoric::python {

template <int N>
struct Parameters {
    const char* function;
    const char* const (&names)[N];
    int required;
    int positional = N;
};

namespace detail {

template <int N>
bool take_positional(const Parameters<N>& p, PyObject* const* args, Py_ssize_t nargs, PyObject* (&out)[N]) {
    for (int i = 0; i < N; ++i) out[i] = nullptr;
    if (nargs > p.positional) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %d %sargument%s (%zd given)", p.function, p.positional,
                     p.positional < N ? "positional " : "", p.positional == 1 ? "" : "s", nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    return true;
}

template <int N>
bool take_keyword(const Parameters<N>& p, PyObject* name, PyObject* value, PyObject* (&out)[N]) {
    const char* text = PyUnicode_AsUTF8(name);
    if (text == nullptr) return false;
    int index = -1;
    for (int i = 0; i < N; ++i) {
        if (std::strcmp(text, p.names[i]) == 0) index = i;
    }
    if (index < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", p.function, text);
        return false;
    }
    if (out[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%d)", p.function, text,
                     index + 1);
        return false;
    }
    out[index] = value;
    return true;
}

template <int N>
bool check_required(const Parameters<N>& p, PyObject* (&out)[N]) {
    for (int i = 0; i < p.required; ++i) {
        if (out[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %d)", p.function, p.names[i],
                         i + 1);
            return false;
        }
    }
    return true;
}

}  // namespace detail

// The fast calling form (METH_FASTCALL | METH_KEYWORDS), past the usual
// all-positional call.
template <int N>
[[gnu::noinline]] bool parse_arguments_in_full(const Parameters<N>& p, PyObject* const* args, Py_ssize_t nargs,
                                               PyObject* kwnames, PyObject* (&out)[N]) {
    if (!detail::take_positional(p, args, nargs, out)) return false;
    if (kwnames != nullptr) {
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
            if (!detail::take_keyword(p, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
        }
    }
    return detail::check_required(p, out);
}

// The fast calling form (METH_FASTCALL | METH_KEYWORDS). The usual call, all
// positional, needs no checks beyond its count: that test is in line in the
// method (the parameters are constants there), the rest a call.
template <int N>
[[gnu::always_inline]] inline bool parse_arguments(const Parameters<N>& p, PyObject* const* args, Py_ssize_t nargs,
                                                   PyObject* kwnames, PyObject* (&out)[N]) {
    if (kwnames == nullptr && nargs >= p.required && nargs <= p.positional) [[likely]] {
        for (int i = 0; i < N; ++i) out[i] = i < nargs ? args[i] : nullptr;
        return true;
    }
    return parse_arguments_in_full(p, args, nargs, kwnames, out);
}

// The classic form: a tuple and a dict (or nullptr). The dict is the call's
// own, so walking it cannot race with anyone.
template <int N>
bool parse_arguments(const Parameters<N>& p, PyObject* args, PyObject* kwargs, PyObject* (&out)[N]) {
    if (!detail::take_positional(p, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), out)) return false;
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &name, &value)) {
            if (!detail::take_keyword(p, name, value, out)) return false;
        }
    }
    return detail::check_required(p, out);
}

// The single required argument of a method taking it positionally or by
// the keyword `keyword`. nullptr with an exception set on a bad call.
inline PyObject* single_argument(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* function,
                                 const char* keyword) {
    if (nargs == 1 && kwnames == nullptr) return args[0];
    const char* const names[] = {keyword};
    PyObject* out[1];
    return parse_arguments(Parameters<1>{function, names, 1}, args, nargs, kwnames, out) ? out[0] : nullptr;
}

}  // namespace tavoric::python
