// The call boundary, driven from an embedded interpreter: what each kind of
// failure inside a call becomes on the Python side.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "python/boundary.hpp"
#include "python/py_ref.hpp"
#include "quillforge/invariant.hpp"

namespace {

using qf::py::NewRefOrError;
using qf::py::PendingError;

class Boundary : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Py_InitializeEx(0); }
    static void TearDownTestSuite() { Py_FinalizeEx(); }

    // Dotted type name and str() of the exception raised, which is cleared.
    static std::pair<std::string, std::string> raised() {
        qf::py::Ref exception(PyErr_GetRaisedException());
        if (!exception) {
            return {"<none>", ""};
        }
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception.get()));
        const std::string module = PyUnicode_AsUTF8(qf::py::Ref(PyObject_GetAttrString(type, "__module__")).get());
        return {(module == "builtins" ? "" : module + ".") + Py_TYPE(exception.get())->tp_name,
                PyUnicode_AsUTF8(qf::py::Ref(PyObject_Str(exception.get())).get())};
    }
};

TEST_F(Boundary, SuccessReturnsTheObject) {
    PyObject* result = qf::py::call_boundary([]() -> NewRefOrError { return PyLong_FromLong(7); });
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(PyLong_AsLong(result), 7);
    Py_DECREF(result);
}

// Each kind of failure inside a call, and the exception it raises: its dotted type name and str().
TEST_F(Boundary, FailuresBecomeExceptions) {
    const std::pair<NewRefOrError (*)(), std::pair<std::string, std::string>> cases[] = {
        {[]() -> NewRefOrError { return qf::fail(PendingError::of(PyExc_ValueError, "validation failed: x")); },
         {"ValueError", "validation failed: x"}},
        {[]() -> NewRefOrError { return qf::fail(PendingError::fetch()); },
         {"SystemError", "attempted to fetch exception but none was set"}},
        {[]() -> NewRefOrError { qf::invariant_failed("could not append __name__ to __all__"); },
         {"quillforge._native.PanicException", "could not append __name__ to __all__"}},
        {[]() -> NewRefOrError { throw std::runtime_error("broken"); },
         {"quillforge._native.PanicException", "broken"}},
        {[]() -> NewRefOrError { throw 42; },
         {"quillforge._native.PanicException", "native code panicked without a message"}},
        {[]() -> NewRefOrError { throw std::bad_alloc(); }, {"MemoryError", ""}},
    };
    for (const auto& [body, expected] : cases) {
        EXPECT_EQ(qf::py::call_boundary(body), nullptr);
        EXPECT_EQ(raised(), expected);
    }
}

// With no memory left even for the panic's message, the process stops with a
// line on stderr instead of leaving a half-raised exception.
TEST_F(Boundary, APanicThatCannotBeRaisedAborts) {
    ASSERT_NE(qf::py::panic_exception_type(), nullptr);
    EXPECT_DEATH(
        {
            PyMemAllocatorEx failing;
            PyMem_GetAllocator(PYMEM_DOMAIN_OBJ, &failing);
            failing.malloc = [](void*, std::size_t) -> void* { return nullptr; };
            failing.calloc = [](void*, std::size_t, std::size_t) -> void* { return nullptr; };
            failing.realloc = [](void*, void*, std::size_t) -> void* { return nullptr; };
            PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &failing);
            qf::py::raise_panic("boom");
        },
        "uncaught panic at ffi boundary");
}

TEST_F(Boundary, PanicExceptionIsABaseExceptionCreatedOnce) {
    PyObject* type = qf::py::panic_exception_type();
    ASSERT_NE(type, nullptr);
    EXPECT_EQ(type, qf::py::panic_exception_type());
    EXPECT_TRUE(PyObject_IsSubclass(type, PyExc_BaseException));
    EXPECT_FALSE(PyObject_IsSubclass(type, PyExc_Exception));
    // The one-element argument tuple holds the message.
    PyObject* result = qf::py::call_boundary([]() -> NewRefOrError { qf::invariant_failed("boom"); });
    EXPECT_EQ(result, nullptr);
    qf::py::Ref exception(PyErr_GetRaisedException());
    qf::py::Ref args(PyObject_GetAttrString(exception.get(), "args"));
    EXPECT_EQ(PyTuple_Size(args.get()), 1);
    EXPECT_STREQ(PyUnicode_AsUTF8(PyTuple_GetItem(args.get(), 0)), "boom");
}

}  // namespace
