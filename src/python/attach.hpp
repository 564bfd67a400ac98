// Attaching the calling thread to the interpreter.
//
// Containers can be torn down, and their references released, from any
// thread: by a finaliser, by a C++ caller, by a thread that has detached.
// Releasing a Python reference may run arbitrary Python code, which needs an
// attached thread state, so every release goes through this guard. When the
// thread is already attached (the usual case inside a method) it costs one
// thread-local load.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tavoric::python {

class AttachedThread {
public:
    AttachedThread() noexcept : attached_here_(PyThreadState_GetUnchecked() == nullptr) {
        if (attached_here_) state_ = PyGILState_Ensure();
    }
    AttachedThread(const AttachedThread&) = delete;
    AttachedThread& operator=(const AttachedThread&) = delete;
    ~AttachedThread() {
        if (attached_here_) PyGILState_Release(state_);
    }

private:
    bool attached_here_;
    PyGILState_STATE state_{};
};

// Releases one strong reference with the thread attached.
inline void release_reference(PyObject* object) noexcept {
    if (object == nullptr) return;
    AttachedThread attached;
    Py_DECREF(object);
}

}  // namespace tavoric::python
