#include "python/convert.hpp"

#include "python/errors.hpp"
#include "python/owned_ref.hpp"

namespace tavoric::python {
namespace {

void add_argument_note(const char* name) {
    // The note is made while the argument's error is pending; making it
    // cannot fail short of memory, which then leaves the note out.
    PyObject* error = PyErr_GetRaisedException();
    OwnedRef note = OwnedRef::steal(PyUnicode_FromFormat("while processing '%s'", name));
    PyErr_SetRaisedException(error);
    add_note_to_pending(note.get());
}

}  // namespace

std::optional<std::uint32_t> convert_u32(PyObject* value, const char* name) {
    OwnedRef index = OwnedRef::steal(PyNumber_Index(value));
    if (!index) {
        add_argument_note(name);
        return std::nullopt;
    }
    int overflow = 0;
    long long number = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (overflow < 0 || (overflow == 0 && number < 0)) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative int to unsigned");
    } else if (overflow > 0 || number > static_cast<long long>(UINT32_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    } else {
        return static_cast<std::uint32_t>(number);
    }
    add_argument_note(name);
    return std::nullopt;
}

std::optional<TableOptions> parse_options(PyObject* capacity, PyObject* exponent, std::uint32_t minimum_exponent) {
    TableOptions options{0, 3};
    if (capacity != nullptr) {
        auto converted = convert_u32(capacity, "capacity");
        if (!converted) return std::nullopt;
        options.capacity = *converted;
    }
    if (!is_absent(exponent)) {
        auto converted = convert_u32(exponent, "reserve_exponent");
        if (!converted) return std::nullopt;
        options.exponent = *converted;
    }
    if (options.exponent == 0) {
        PyErr_SetString(PyExc_ValueError, "reserve exponent must be positive");
        return std::nullopt;
    }
    if (options.exponent < minimum_exponent) {
        PyErr_SetString(PyExc_ValueError, "Funnel reserve must be at most 1/8 (reserve_exponent >= 3)");
        return std::nullopt;
    }
    return options;
}

}  // namespace tavoric::python
