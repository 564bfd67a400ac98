// Turning the module's internal failures into Python exceptions.
//
// Inside the containers and tables errors are values; invariant failures
// throw common::error::Panic. No C++ exception may cross into the
// interpreter, so every entry point the interpreter calls runs its body
// through `guarded`, which maps:
//
//   common::error::Panic  -> tavoric.PanicException(message)
//   std::bad_alloc        -> MemoryError
//   anything else         -> tavoric.PanicException(what())
//
// PanicException derives directly from BaseException: it reports a broken
// internal promise, which ordinary `except Exception` handlers should not
// swallow.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#include "common/error/try_errors.hpp"

namespace tavoric::python {

// The PanicException type (a borrowed reference, alive for the process), or
// nullptr with an exception set if it could not be created.
PyObject* panic_exception_type();

// Adds `note` (add_note) to the exception being raised. If that fails, the
// exception is reported without it.
void add_note_to_pending(PyObject* note);

// Raises PanicException with the message. Returns nullptr for convenience.
std::nullptr_t raise_panic(std::string_view message);

// Raises the Python form of an allocation error: MemoryError for a refused
// allocation, PanicException "capacity overflow" for a size no table has.
std::nullptr_t raise_reserve_error(common::error::TryReserveError error);

// Sets the Python exception for the C++ exception being handled. Call only
// inside a catch block.
void raise_current_cpp_exception() noexcept;

// Thrown where a Python exception is already set and the operation must
// stop: a key's __eq__ raised in the middle of a table search. The tables
// search before they change anything, so unwinding from there leaves the
// container as it was; the entry point returns its failure value and the
// interpreter sees the key's own exception.
struct PythonErrorSet {};

// Runs `body` and returns its result; if it throws, raises the matching
// Python exception and returns `failure` instead. Always in line, so that
// an entry point is one function; the hot ones also mark their body
// always_inline (a body left out of line costs a closure and a call, about
// 30 instructions per statement on `s.add` and `m.get`).
template <class R, class F>
[[gnu::always_inline]] inline R guarded(R failure, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        raise_current_cpp_exception();
        return failure;
    }
}

}  // namespace tavoric::python
