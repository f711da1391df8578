// The result str builder's outcome against CPython's for the same bytes,
// shared by its test and its fuzz target. No GoogleTest here.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <string_view>

#include "python/py_ref.hpp"

namespace qf::test {

// A call's result, or the exception it raised (fetched, so cleared).
struct Built {
    py::Ref str;
    py::Ref error;
};

inline Built built(PyObject* result) {
    return {py::Ref(result), py::Ref(result == nullptr ? PyErr_GetRaisedException() : nullptr)};
}

inline Built cpython_str(std::string_view bytes) {
    return built(PyUnicode_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

// What differs, or nullptr when both are the same str in every respect or
// raised the same exception (type and arguments: encoding, bytes, start, end,
// reason).
inline const char* str_difference(const Built& ours, const Built& reference) {
    PyObject* a = ours.str.get();
    PyObject* b = reference.str.get();
    if (b == nullptr) {
        if (a != nullptr || ours.error.get() == nullptr) {
            return "CPython raised, we did not";
        }
        py::Ref ours_args(PyObject_GetAttrString(ours.error.get(), "args"));
        py::Ref reference_args(PyObject_GetAttrString(reference.error.get(), "args"));
        return Py_TYPE(ours.error.get()) == Py_TYPE(reference.error.get()) &&
                       PyObject_RichCompareBool(ours_args.get(), reference_args.get(), Py_EQ) == 1
                   ? nullptr
                   : "another exception";
    }
    if (a == nullptr || !PyUnicode_CheckExact(a)) {
        return "no str";
    }
    if (PyUnicode_KIND(a) != PyUnicode_KIND(b) || PyUnicode_IS_ASCII(a) != PyUnicode_IS_ASCII(b) ||
        PyUnicode_IS_COMPACT(a) != PyUnicode_IS_COMPACT(b) || PyUnicode_GET_LENGTH(a) != PyUnicode_GET_LENGTH(b)) {
        return "another kind, ASCII flag, layout or length";
    }
    // The characters and the terminating NUL, which PyUnicode_New writes.
    const auto size = static_cast<std::size_t>(PyUnicode_GET_LENGTH(a) + 1) * PyUnicode_KIND(a);
    if (std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), size) != 0) {
        return "other characters";
    }
    const bool singleton =
        PyUnicode_GET_LENGTH(b) == 0 || (PyUnicode_GET_LENGTH(b) == 1 && PyUnicode_READ_CHAR(b, 0) < 0x100);
    return singleton && a != b ? "the empty str and those of one character below U+0100 are CPython's" : nullptr;
}

}  // namespace qf::test
