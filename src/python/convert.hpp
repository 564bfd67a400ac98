// Argument conversion shared by the constructors and with_options.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>

namespace tavoric::python {

// Converts an argument to an unsigned 32-bit integer (0 to 4294967295).
// Non-integers raise TypeError, out-of-range values OverflowError; either
// carries the note "while processing '<name>'" so the caller sees which
// argument was wrong. nullopt with the exception set on failure.
std::optional<std::uint32_t> convert_u32(PyObject* value, const char* name);

// with_options' arguments after conversion and validation.
struct TableOptions {
    std::uint32_t capacity;
    std::uint32_t exponent;
};

// Converts with_options' arguments: capacity (default 0), then the reserve
// exponent, where absent or None means the default 3. An exponent of 0 is
// rejected for every class, one below `minimum_exponent` (3 for Funnel
// tables) with the Funnel reserve message. nullopt with the exception set.
std::optional<TableOptions> parse_options(PyObject* capacity, PyObject* exponent, std::uint32_t minimum_exponent);

// True when the argument was omitted or given as None.
inline bool is_absent(PyObject* value) noexcept { return value == nullptr || value == Py_None; }

}  // namespace tavoric::python
