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
    PyObject* shown = PyObject_CallOneArg(fallback, unraisable);
    // With no memory left to print the report, drop it as a MemoryError is
    // dropped: failing here would have the interpreter print a broken line of
    // its own, beside the command's one line saying it ran out.
    if (shown == nullptr && PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return shown;
}

}  // namespace qf::py
