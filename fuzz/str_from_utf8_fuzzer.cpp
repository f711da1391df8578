// The result str builder against CPython's own decoder for any bytes: the same
// str (kind, ASCII flag, length, every character) or the same exception (type
// and arguments: encoding, bytes, start, end, reason), with the kernels this CPU
// uses at sizes below the threshold too, and the public function on the input
// repeated past the threshold. The kernels themselves are fuzzed without an
// interpreter by utf8_fuzzer.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_check.hpp"
#include "python/str_check.hpp"
#include "python/str_from_utf8.hpp"

namespace {

// Stops the run, naming what differs, unless our outcome is CPython's.
void check_same(const qf::test::Built& ours, const qf::test::Built& reference, const char* what) {
    const char* difference = qf::test::str_difference(ours, reference);
    QF_FUZZ_CHECK(difference == nullptr, (std::string(what) + ": " + difference).c_str());
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
    const qf::test::Built reference = qf::test::cpython_str(text);
    check_same(qf::test::built(qf::py::detail::build_str(text, qf::text::utf8::kernels())), reference, "build_str");
    check_same(qf::test::built(qf::py::str_from_utf8(text)), reference, "str_from_utf8");

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
