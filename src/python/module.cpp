// Module creation: single-phase initialisation, once per process, in the
// interpreter that first imports it.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "boundary.hpp"
#include "functions.hpp"

namespace qf::py {

namespace {

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "",       // __doc__ is the empty string
    0,        // no per-module state
    nullptr,  // functions are attached after creation
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

constexpr int kApiVersion = 1013;

std::atomic<std::int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;

// One table drives both: __all__ lists its names in its order, then its
// functions are attached in the same order. __all__ is set first so that it
// stands before the functions in the module's namespace.
Result<void, PendingError> add_functions(PyObject* module) {
    const std::span<PyMethodDef> methods = method_table();
    Ref all(PyList_New(static_cast<Py_ssize_t>(methods.size())));
    if (!all) {
        return fail(PendingError::fetch());
    }
    for (std::size_t i = 0; i < methods.size(); ++i) {
        PyObject* name = PyUnicode_InternFromString(methods[i].ml_name);
        if (name == nullptr) {
            return fail(PendingError::fetch());
        }
        PyList_SET_ITEM(all.get(), static_cast<Py_ssize_t>(i), name);  // steals the reference
    }
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0 || PyModule_AddFunctions(module, methods.data()) < 0) {
        return fail(PendingError::fetch());
    }
    return {};
}

NewRefOrError initialise() {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1) {
        return fail(PendingError::fetch());
    }
    std::int64_t expected = -1;
    if (!g_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
        return fail(PendingError::of(
            PyExc_ImportError,
            "quillforge._native does not yet support subinterpreters: import it from the main interpreter only"));
    }
    if (g_module != nullptr) {
        return Py_NewRef(g_module);
    }
    Ref module(PyModule_Create2(&g_definition, kApiVersion));
    if (!module) {
        return fail(PendingError::fetch());
    }
    if (auto added = add_functions(module.get()); !added) {
        return fail(std::move(added).error());
    }
    if (g_module == nullptr) {
        g_module = Py_NewRef(module.get());
    }
    return Py_NewRef(g_module);
}

}  // namespace

}  // namespace qf::py

PyMODINIT_FUNC PyInit__native() { return qf::py::call_boundary(qf::py::initialise); }
