#include "python/errors.hpp"

#include <exception>
#include <new>
#include <string>

#include "common/error/panic.hpp"
#include "python/owned_ref.hpp"

namespace tavoric::python {
namespace {

PyObject* panic_type = nullptr;
PyMutex panic_type_mutex{};

constexpr const char* panic_doc =
    "Raised when tavoric meets a failure its design rules out, or a request no\n"
    "table can satisfy (such as a capacity beyond the largest table). The\n"
    "container involved stays consistent. Derives from BaseException so that\n"
    "`except Exception` does not hide it.";

}  // namespace

PyObject* panic_exception_type() {
    PyMutex_Lock(&panic_type_mutex);
    if (panic_type == nullptr) {
        panic_type = PyErr_NewExceptionWithDoc("tavoric.PanicException", panic_doc, PyExc_BaseException, nullptr);
    }
    PyObject* type = panic_type;
    PyMutex_Unlock(&panic_type_mutex);
    return type;
}

void add_note_to_pending(PyObject* note) {
    PyObject* error = PyErr_GetRaisedException();
    if (note != nullptr) OwnedRef::steal(PyObject_CallMethod(error, "add_note", "O", note));
    PyErr_Clear();  // a failure to add the note leaves the error to report
    PyErr_SetRaisedException(error);
}

std::nullptr_t raise_panic(std::string_view message) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return nullptr;  // the creation error stays set
    OwnedRef text = OwnedRef::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

std::nullptr_t raise_reserve_error(common::error::TryReserveError error) {
    if (error.kind() == common::error::TryReserveError::Kind::AllocError) {
        PyErr_NoMemory();
        return nullptr;
    }
    return raise_panic(error.message());
}

void raise_current_cpp_exception() noexcept {
    try {
        throw;
    } catch (const PythonErrorSet&) {
        // The exception is already set.
    } catch (const common::error::Panic& panic) {
        raise_panic(panic.message());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& other) {
        raise_panic(other.what());
    } catch (...) {
        raise_panic("unknown internal failure");
    }
}

}  // namespace tavoric::python
