// The result str builder against PyUnicode_FromStringAndSize, with every
// implementation this CPU runs: same kind, length, ASCII flag and characters
// for valid UTF-8, the same exception for anything else. The kernels' own
// cases, without an interpreter, are in utf8_test.cpp.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "python/str_check.hpp"
#include "python/str_from_utf8.hpp"
#include "quillforge/text/transcode.hpp"
#include "support.hpp"

namespace {

using qf::py::Ref;
namespace utf8 = qf::text::utf8;

using qf::test::built;
using qf::test::to_utf8;

using qf::test::random_text;

class StrFromUtf8 : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Py_InitializeEx(0); }
    static void TearDownTestSuite() { Py_FinalizeEx(); }

    // Every implementation and the public function against CPython.
    static void check(std::string_view bytes) {
        const qf::test::Built reference = qf::test::cpython_str(bytes);
        for (const utf8::Kernels* kernels : kernels_) {
            SCOPED_TRACE(kernels->name);
            EXPECT_STREQ(str_difference(built(qf::py::detail::build_str(bytes, *kernels)), reference), nullptr);
        }
        EXPECT_STREQ(str_difference(built(qf::py::str_from_utf8(bytes)), reference), nullptr) << "str_from_utf8";
    }

    static inline std::vector<const utf8::Kernels*> kernels_ = qf::test::all_kernels();
};

TEST_F(StrFromUtf8, RandomTextOfEveryWidth) {
    qf::test::for_random_texts(100, [](const std::string& text) {
        SCOPED_TRACE(testing::Message() << text.size() << " bytes: " << testing::PrintToString(text.substr(0, 40)));
        check(text);
    });
}

TEST_F(StrFromUtf8, AroundTheThresholdAndWithHugePagesAdvised) {
    std::mt19937_64 random(7);
    for (std::size_t size = qf::py::kStrFromUtf8Threshold - 8; size <= qf::py::kStrFromUtf8Threshold + 8; ++size) {
        std::string text = random_text(random, size);
        text.resize(size, 'x');  // may cut the last character: malformed on purpose sometimes
        check(text);
        check(std::string(size, 'x'));
    }
    // Above 4 MB of storage the builder asks for huge pages; the text must
    // come out the same.
    check(random_text(random, 5u << 20));
    check(std::string(9u << 20, 'a') + to_utf8(0x10000));
}

TEST_F(StrFromUtf8, MalformedSequencesAtEveryOffset) {
    // Inside valid text, across block edges, and cut off by the end.
    qf::test::for_malformed_inserts(70, 7, [](const std::string& text, std::size_t end) {
        SCOPED_TRACE(testing::PrintToString(text));
        check(text);
        check(text.substr(0, end));
    });
}

}  // namespace
