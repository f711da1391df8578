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

namespace {

struct Digits {
    std::string digits;  // significant digits, no leading or trailing zeros
    int exponent = 0;    // of the first digit
};

// Significant digits and decimal exponent of a plain or e-notation text.
Digits digits_of(std::string_view text) {
    Digits result;
    int point = -1;
    int position = 0;
    int exponent = 0;
    std::size_t i = text[0] == '-' ? 1 : 0;
    for (; i < text.size() && text[i] != 'e'; ++i) {
        if (text[i] == '.') {
            point = position;
            continue;
        }
        if (result.digits.empty() && text[i] == '0') {
            ++position;
            continue;
        }
        if (result.digits.empty()) {
            exponent = position;
        }
        result.digits += text[i];
        ++position;
    }
    if (point < 0) {
        point = position;
    }
    while (!result.digits.empty() && result.digits.back() == '0') {
        result.digits.pop_back();
    }
    const int written = i < text.size() ? std::atoi(std::string(text.substr(i + 1)).c_str()) : 0;
    result.exponent = point - exponent - 1 + written;
    return result;
}

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
        const std::string repr = python_repr(value);
        const Digits ours = digits_of(text);
        const Digits theirs = digits_of(repr);
        ASSERT_EQ(ours.digits, theirs.digits) << text << " vs " << repr;
        ASSERT_EQ(ours.exponent, theirs.exponent) << text << " vs " << repr;
    }
}

// Short decimals, the kind scores and temperatures are, from every magnitude
// the plain layout covers and a little beyond.
TEST_F(FloatRepr, ShortDecimalsMatchRepr) {
    std::mt19937_64 random(7);
    for (int i = 0; i < 300'000; ++i) {
        const int digits = 1 + static_cast<int>(random() % 16);
        std::uint64_t limit = 1;
        for (int d = 0; d < digits; ++d) {
            limit *= 10;
        }
        const std::string text =
            std::to_string(random() % limit) + "e" + std::to_string(static_cast<int>(random() % 30) - 22);
        const double value = std::strtod(text.c_str(), nullptr);
        if (value == 0.0) {
            continue;
        }
        char buffer[qf::json::kMaxFloatText];
        const std::string ours(buffer, qf::json::format_f64(value, buffer));
        ASSERT_EQ(std::strtod(ours.c_str(), nullptr), value) << text;
        const Digits mine = digits_of(ours);
        const Digits theirs = digits_of(python_repr(value));
        ASSERT_EQ(mine.digits, theirs.digits) << text << ": " << ours;
        ASSERT_EQ(mine.exponent, theirs.exponent) << text << ": " << ours;
    }
}

}  // namespace
