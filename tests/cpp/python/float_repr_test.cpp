// The float text against the interpreter's own repr: for random bit patterns
// the text reads back to the same double with the same shortest digits.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>

#include "python/py_ref.hpp"
#include "quillforge/json/writer.hpp"
#include "support.hpp"

namespace {

class FloatRepr : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Py_InitializeEx(0); }
    static void TearDownTestSuite() { Py_FinalizeEx(); }

    // The text reads back to the value and has the digits of the interpreter's repr.
    static void expect_repr(double value) {
        char buffer[qf::json::kMaxFloatText];
        const std::string ours(buffer, qf::json::format_f64(value, buffer));
        qf::py::Ref repr(PyObject_Repr(qf::py::Ref(PyFloat_FromDouble(value)).get()));
        ASSERT_EQ(std::strtod(ours.c_str(), nullptr), value) << ours;
        ASSERT_EQ(qf::test::digits_of(ours), qf::test::digits_of(PyUnicode_AsUTF8(repr.get()))) << ours;
    }
};

TEST_F(FloatRepr, MillionRandomBitPatternsMatchShortestRepr) {
    std::mt19937_64 random(20261206);
    for (int checked = 0; checked < 1'000'000;) {
        const double value = std::bit_cast<double>(static_cast<std::uint64_t>(random()));
        if (std::isfinite(value)) {
            ++checked;
            expect_repr(value);
        }
    }
}

// Short decimals, the kind scores and temperatures are, from every magnitude
// the plain layout covers and a little beyond.
TEST_F(FloatRepr, ShortDecimalsMatchRepr) {
    std::mt19937_64 random(7);
    for (int i = 0; i < 300'000; ++i) {
        const auto limit = static_cast<std::uint64_t>(std::pow(10.0, 1 + static_cast<int>(random() % 16)));
        const std::string text =
            std::to_string(random() % limit) + "e" + std::to_string(static_cast<int>(random() % 30) - 22);
        if (const double value = std::strtod(text.c_str(), nullptr); value != 0.0) {
            expect_repr(value);
        }
    }
}

}  // namespace
