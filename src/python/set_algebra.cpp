#include "python/set_algebra.hpp"

namespace tavoric::python {

int is_set_like(PyObject* object) {
    if (PyAnySet_Check(object)) return 1;
    // Looked up on every call: the module keeps no state, and the import is a
    // cached lookup in sys.modules once collections.abc has been loaded.
    OwnedRef name = OwnedRef::steal(PyUnicode_FromString("collections.abc"));
    if (!name) return -1;
    OwnedRef abc = OwnedRef::steal(PyImport_Import(name.get()));
    if (!abc) return -1;
    OwnedRef set_class = OwnedRef::steal(PyObject_GetAttrString(abc.get(), "Set"));
    if (!set_class) return -1;
    return PyObject_IsInstance(object, set_class.get());
}

}  // namespace tavoric::python
