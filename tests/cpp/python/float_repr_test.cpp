// The float text against the interpreter's own repr: for random bit patterns
// the text reads back to the same double with the same shortest digits.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "quillforge/json/writer.hpp"
#include "support.hpp"

namespace {

using qf::test::digits_of;

std::string python_repr(double value) {
    PyObject* number = PyFloat_FromDouble(value);
    PyObject* repr = PyObject_Repr(number);
    std::string text = PyUnicode_AsUTF8(repr);
    Py_DECREF(repr);
    Py_DECREF(number);
    return text;
}

class FloatRepr : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Py_InitializeEx(0); }
    static void TearDownTestSuite() { Py_FinalizeEx(); }
};

TEST_F(FloatRepr, MillionRandomBitPatternsMatchShortestRepr) {
    std::mt19937_64 random(20261206);
    int checked = 0;
    while (checked < 1'000'000) {
        const std::uint64_t bits = random();
        double value;
        std::memcpy(&value, &bits, sizeof value);
        if (!std::isfinite(value)) {
            continue;
        }
        ++checked;
        char buffer[qf::json::kMaxFloatText];
        const std::string text(buffer, qf::json::format_f64(value, buffer));
        ASSERT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
        ASSERT_TRUE(digits_of(text) == digits_of(python_repr(value))) << text << " vs " << python_repr(value);
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
        const double value = std::strtod(text.c_str(), nullptr);
        if (value == 0.0) {
            continue;
        }
        char buffer[qf::json::kMaxFloatText];
        const std::string ours(buffer, qf::json::format_f64(value, buffer));
        ASSERT_EQ(std::strtod(ours.c_str(), nullptr), value) << text;
        ASSERT_TRUE(digits_of(ours) == digits_of(python_repr(value))) << text << ": " << ours;
    }
}

}  // namespace
