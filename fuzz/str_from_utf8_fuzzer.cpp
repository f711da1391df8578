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
#include "python/str_check.hpp"
#include "python/str_from_utf8.hpp"
#include "python/utf8_transcode.hpp"

namespace {

namespace utf8 = qf::py::utf8;

// Stops the run, naming what differs, unless our outcome is CPython's.
void check_same(const qf::test::Built& ours, const qf::test::Built& reference, const char* what) {
    const char* difference = qf::test::str_difference(ours, reference);
    QF_FUZZ_CHECK(difference == nullptr, (std::string(what) + ": " + difference).c_str());
}

void check_every_implementation(std::string_view text) {
    const qf::test::Built reference = qf::test::cpython_str(text);
    for (const auto isa : {utf8::Isa::Portable, utf8::Isa::Sse2, utf8::Isa::Avx2, utf8::Isa::Avx512}) {
        if (const utf8::Kernels* kernels = utf8::kernels_for(isa)) {
            QF_FUZZ_CHECK(kernels->measure(text).valid == static_cast<bool>(reference.str), kernels->name);
            check_same(qf::test::built(qf::py::detail::build_str(text, *kernels)), reference, kernels->name);
        }
    }
    check_same(qf::test::built(qf::py::str_from_utf8(text)), reference, "str_from_utf8");
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
        check_same(
            qf::test::built(qf::py::str_from_utf8(repeated)), qf::test::cpython_str(repeated), "past the threshold");
    }
    return 0;
}
