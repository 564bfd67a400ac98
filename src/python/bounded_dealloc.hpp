// Freeing nested objects without unbounded recursion.
//
// Destroying a map releases its values; a value that is the last reference
// to another map destroys that one from inside the first destructor, and so
// on: a chain of 100,000 nested maps would need 100,000 nested destructor
// frames and overflow the C stack. The interpreter's own defence (the
// "trashcan", which parks objects once the stack runs low and frees them
// later from a shallower frame) serves only objects that take part in cyclic
// garbage collection, which ours do not.
//
// So every dealloc of this module goes through bounded_dealloc: a
// per-thread count of our destructors currently running. Past
// kMaxNestedDeallocs, an object is parked on a per-thread list instead of
// being destroyed, and the outermost destructor of the thread frees the
// parked objects one by one once its own work is done. Each of those may
// park more, but never nests deeper than the bound. An object waiting on the
// list has no references left, so nothing can observe it. If the list itself
// cannot grow (memory exhausted) the object is destroyed at once: deep
// recursion is then the lesser risk.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>
#include <vector>

namespace tavoric::python {

using Destroy = void (*)(PyObject*) noexcept;

inline constexpr int kMaxNestedDeallocs = 64;

struct DeallocState {
    int depth = 0;
    std::vector<std::pair<PyObject*, Destroy>> parked;
};

inline DeallocState& dealloc_state() noexcept {
    thread_local DeallocState state;
    return state;
}

inline void bounded_dealloc(PyObject* self, Destroy destroy) noexcept {
    DeallocState& state = dealloc_state();
    if (state.depth >= kMaxNestedDeallocs) {
        try {
            state.parked.emplace_back(self, destroy);
            return;
        } catch (...) {
            // No room to park it: destroy it here after all.
        }
    }
    ++state.depth;
    destroy(self);
    if (state.depth == 1) {
        while (!state.parked.empty()) {
            auto [object, parked_destroy] = state.parked.back();
            state.parked.pop_back();
            parked_destroy(object);
        }
    }
    --state.depth;
}

}  // namespace tavoric::python
