// Module creation: single-phase initialisation, once per process, in the
// interpreter that first imports it.
#include <atomic>
#include <cstdint>

#include "boundary.hpp"
#include "functions.hpp"
#include "quillforge/invariant.hpp"

namespace qf::py {

namespace {

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "",       // __doc__ is the empty string
    0,        // no per-module state
    nullptr,  // functions are attached after creation
    nullptr, nullptr, nullptr, nullptr,
};

constexpr int kApiVersion = 1013;

std::atomic<std::int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;
PyObject* g_name_attribute = nullptr;
PyObject* g_all_attribute = nullptr;

PyObject* interned(PyObject*& slot, const char* text) {
    if (slot == nullptr) {
        slot = PyUnicode_InternFromString(text);
    }
    return slot;
}

// The module's __all__, created empty when it does not exist yet.
Result<Ref, PendingError> all_list(PyObject* module, PyObject* all_name) {
    Ref all(PyObject_GetAttr(module, all_name));
    if (all) {
        return all;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return fail(PendingError::fetch());
    }
    PyErr_Clear();
    Ref fresh(PyList_New(0));
    if (!fresh || PyObject_SetAttr(module, all_name, fresh.get()) < 0) {
        return fail(PendingError::fetch());
    }
    return fresh;
}

Result<void, PendingError> attach(PyObject* module, PyMethodDef* method) {
    PyObject* name_attribute = interned(g_name_attribute, "__name__");
    PyObject* all_attribute = interned(g_all_attribute, "__all__");
    if (name_attribute == nullptr || all_attribute == nullptr) {
        return fail(PendingError::fetch());
    }
    Ref module_name(PyModule_GetNameObject(module));
    if (!module_name) {
        return fail(PendingError::fetch());
    }
    Ref function(PyCMethod_New(method, module, module_name.get(), nullptr));
    if (!function) {
        return fail(PendingError::fetch());
    }
    Ref name(PyObject_GetAttr(function.get(), name_attribute));
    if (!name) {
        return fail(PendingError::fetch());
    }
    auto all = all_list(module, all_attribute);
    if (!all) {
        return fail(std::move(all).error());
    }
    if (PyList_Append(all->get(), name.get()) < 0) {
        PyErr_Clear();
        invariant_failed("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) {
        return fail(PendingError::fetch());
    }
    return {};
}

Outcome initialise() {
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
    for (PyMethodDef& method : method_table()) {
        if (auto attached = attach(module.get(), &method); !attached) {
            return fail(std::move(attached).error());
        }
    }
    if (g_module == nullptr) {
        g_module = Py_NewRef(module.get());
    }
    return Py_NewRef(g_module);
}

}  // namespace

}  // namespace qf::py

PyMODINIT_FUNC PyInit__native() {
    return qf::py::call_boundary(qf::py::initialise);
}
