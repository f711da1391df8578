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
    std::mt19937_64 random(20240611);
    for (int round = 0; round < 100; ++round) {
        const std::size_t bytes = round < 75 ? random() % 600 : random() % 20000;
        std::string text = random_text(random, bytes);
        // Narrow some texts to Latin-1 or UCS-2 characters only.
        if (round % 3 == 1) {
            std::string narrowed;
            for (std::size_t i = 0; i < text.size(); ++i) {
                narrowed += static_cast<unsigned char>(text[i]) < 0x80 ? text.substr(i, 1) : to_utf8(0xA0 + i % 0x60);
            }
            text = narrowed;
        }
        SCOPED_TRACE(testing::Message() << "round " << round << ", " << text.size() << " bytes");
        check(text);
    }
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
    // The sequences of tests/data/utf8_sequences.jsonl inside valid text, at
    // every offset across block edges, and cut off by the end.
    std::mt19937_64 random(3);
    const std::string body = random_text(random, 160);
    for (const qf::test::Row& row : qf::test::read_rows("utf8_sequences.jsonl", 1)) {
        const std::string& bad = *row[0];
        for (std::size_t at = 0; at <= 70; at += 7) {
            // Keep the body's characters whole around the insertion.
            std::string text = body;
            std::size_t cut = at;
            while (cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
                ++cut;
            }
            text.insert(cut, bad);
            SCOPED_TRACE(testing::Message() << testing::PrintToString(bad) << " at " << cut);
            check(text);
            check(text.substr(0, cut + bad.size()));
        }
    }
}

}  // namespace
