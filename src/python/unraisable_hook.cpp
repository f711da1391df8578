#include "unraisable_hook.hpp"

namespace qf::py {

PyObject* unraisable_hook(PyObject* /*module*/, PyObject* unraisable) {
    // sys.UnraisableHookArgs is a struct sequence whose first field is the
    // exception's type: read in place, with nothing allocated.
    if (PyTuple_Check(unraisable) && PyTuple_GET_SIZE(unraisable) > 0) {
        PyObject* type = PyTuple_GET_ITEM(unraisable, 0);
        if (PyType_Check(type) && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type),
                                                   reinterpret_cast<PyTypeObject*>(PyExc_MemoryError))) {
            Py_RETURN_NONE;
        }
    }
    PyObject* fallback = PySys_GetObject("__unraisablehook__");  // borrowed
    if (fallback == nullptr) {
        Py_RETURN_NONE;
    }
    return PyObject_CallOneArg(fallback, unraisable);
}

}  // namespace qf::py
