// OwnedRef: one strong reference to a Python object, released exactly once.
//
// Everything in the module that keeps a reference beyond a single expression
// holds it in this type, so no path can forget the release. Map values are
// stored as OwnedRef; the release attaches the thread (attach.hpp) because a
// table may drop its entries from any thread.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include "python/attach.hpp"

namespace tavoric::python {

class OwnedRef {
public:
    OwnedRef() noexcept = default;
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        if (this != &other) {
            release_reference(std::exchange(object_, std::exchange(other.object_, nullptr)));
        }
        return *this;
    }
    ~OwnedRef() { release_reference(object_); }

    // Takes over a reference the caller owns (a "new reference" result).
    static OwnedRef steal(PyObject* object) noexcept { return OwnedRef(object); }
    // Takes a new reference to an object the caller only borrows.
    static OwnedRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return OwnedRef(object);
    }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference to the caller (for returning to the interpreter).
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    // Releases the reference now, without the attach check: for method
    // bodies, where the calling thread is attached by definition.
    void release_attached() noexcept { Py_XDECREF(std::exchange(object_, nullptr)); }
    // A second strong reference to the same object.
    OwnedRef clone() const noexcept { return borrow(object_); }

private:
    explicit OwnedRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace tavoric::python
