// The result str builder against CPython's own decoder for any bytes: the same
// str (kind, ASCII flag, length, every character) or the same exception (type
// and arguments: encoding, bytes, start, end, reason). Every implementation of
// the passes is checked at sizes below the threshold too, on the input as
// given (so ASan sees any read past its end) and at an odd address; the
// public function also on the input repeated past the threshold.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_check.hpp"
#include "python/str_from_utf8.hpp"
#include "python/utf8_transcode.hpp"

namespace {

namespace utf8 = qf::py::utf8;

struct Outcome {
    qf::py::Ref str;
    qf::py::Ref error;
};

Outcome outcome_of(PyObject* result) {
    Outcome outcome{qf::py::Ref(result), qf::py::Ref()};
    if (result == nullptr) {
        outcome.error = qf::py::Ref(PyErr_GetRaisedException());
        QF_FUZZ_CHECK(outcome.error, "a failed call sets an error");
    }
    return outcome;
}

void check_same(const Outcome& ours, const Outcome& reference, const char* what) {
    if (!reference.str) {
        QF_FUZZ_CHECK(!ours.str, what);
        QF_FUZZ_CHECK(Py_TYPE(ours.error.get()) == Py_TYPE(reference.error.get()), what);
        qf::py::Ref ours_args(PyObject_GetAttrString(ours.error.get(), "args"));
        qf::py::Ref reference_args(PyObject_GetAttrString(reference.error.get(), "args"));
        QF_FUZZ_CHECK(PyObject_RichCompareBool(ours_args.get(), reference_args.get(), Py_EQ) == 1, what);
        return;
    }
    QF_FUZZ_CHECK(ours.str, what);
    PyObject* a = ours.str.get();
    PyObject* b = reference.str.get();
    QF_FUZZ_CHECK(PyUnicode_CheckExact(a), what);
    QF_FUZZ_CHECK(PyUnicode_KIND(a) == PyUnicode_KIND(b), what);
    QF_FUZZ_CHECK(PyUnicode_IS_ASCII(a) == PyUnicode_IS_ASCII(b), what);
    QF_FUZZ_CHECK(PyUnicode_IS_COMPACT(a) == PyUnicode_IS_COMPACT(b), what);
    QF_FUZZ_CHECK(PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b), what);
    // The characters and the terminating NUL.
    const auto bytes = static_cast<std::size_t>(PyUnicode_GET_LENGTH(a) + 1) * PyUnicode_KIND(a);
    QF_FUZZ_CHECK(std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), bytes) == 0, what);
    if (PyUnicode_GET_LENGTH(b) == 0 || (PyUnicode_GET_LENGTH(b) == 1 && PyUnicode_READ_CHAR(b, 0) < 0x100)) {
        QF_FUZZ_CHECK(a == b, "the empty str and the one-character ones below U+0100 are CPython's singletons");
    }
}

Outcome reference_of(std::string_view text) {
    return outcome_of(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

void check_every_implementation(std::string_view text) {
    const Outcome reference = reference_of(text);
    for (const auto isa : {utf8::Isa::Portable, utf8::Isa::Sse2, utf8::Isa::Avx2, utf8::Isa::Avx512}) {
        if (const utf8::Kernels* kernels = utf8::kernels_for(isa)) {
            QF_FUZZ_CHECK(kernels->measure(text).valid == static_cast<bool>(reference.str), kernels->name);
            check_same(outcome_of(qf::py::detail::build_str(text, *kernels)), reference, kernels->name);
        }
    }
    check_same(outcome_of(qf::py::str_from_utf8(text)), reference, "str_from_utf8");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Plain malloc, so that ASan sees every object the interpreter allocates.
    setenv("PYTHONMALLOC", "malloc", 1);
    Py_InitializeEx(0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = qf::fuzz::as_text(data, size);
    check_every_implementation(text);

    // At an odd address, still ending exactly at the end of its allocation.
    const std::unique_ptr<char[]> shifted(new char[size + 1]);
    std::memcpy(shifted.get() + 1, data, size);
    check_every_implementation({shifted.get() + 1, size});

    // Past the threshold, where the public function takes the two passes.
    if (size > 0) {
        std::string repeated;
        while (repeated.size() <= qf::py::kStrFromUtf8Threshold) {
            repeated.append(text);
        }
        check_same(outcome_of(qf::py::str_from_utf8(repeated)), reference_of(repeated), "repeated past the threshold");
    }
    return 0;
}
