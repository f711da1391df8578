// Numbers: classes, the value steps (which differ from correct rounding on
// purpose for long digit strings), and their errors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <string_view>

#include "quillforge/codec.hpp"
#include "quillforge/json/reader.hpp"

namespace {

using qf::json::Number;
using qf::json::Reader;
using Kind = Number::Kind;

// Joins pieces by appending (g++ 12 warns falsely on "literal" + std::string).
template <class... Pieces>
std::string cat(const Pieces&... pieces) {
    std::string out;
    (out.append(std::string_view(pieces)), ...);
    return out;
}

// Reads the whole text as one number.
qf::Result<Number, qf::json::JsonError> read(std::string_view text) {
    Reader reader(text);
    auto number = reader.read_number();
    if (number) {
        EXPECT_EQ(reader.index(), text.size()) << text << " was not read to its end";
    }
    return number;
}

std::string error_of(std::string_view text) {
    auto number = read(text);
    return number ? "read" : number.error().display();
}

double float_of(std::string_view text) {
    auto number = read(text);
    EXPECT_TRUE(number) << text << ": " << number.error().display();
    EXPECT_TRUE(number && number->kind == Kind::Float) << text;
    return number ? number->float_value : std::nan("");
}

TEST(Number, IntegerClasses) {
    struct Row {
        std::string_view text;
        Kind kind;
        std::uint64_t unsigned_value;
        std::int64_t negative_value;
    };
    const Row rows[] = {
        {"0", Kind::Unsigned, 0, 0},
        {"7", Kind::Unsigned, 7, 0},
        {"4294967296", Kind::Unsigned, 4294967296u, 0},
        {"18446744073709551615", Kind::Unsigned, 18446744073709551615u, 0},
        {"-1", Kind::Negative, 0, -1},
        {"-9223372036854775807", Kind::Negative, 0, -9223372036854775807},
        {"-9223372036854775808", Kind::Negative, 0, std::numeric_limits<std::int64_t>::min()},
    };
    for (const Row& row : rows) {
        auto number = read(row.text);
        ASSERT_TRUE(number) << row.text;
        EXPECT_EQ(number->kind, row.kind) << row.text;
        if (row.kind == Kind::Unsigned) {
            EXPECT_EQ(number->unsigned_value, row.unsigned_value) << row.text;
        } else {
            EXPECT_EQ(number->negative_value, row.negative_value) << row.text;
        }
    }
}

// Everything outside the two integer ranges, and every fraction or exponent, is a float.
TEST(Number, FloatValues) {
    struct Row {
        std::string_view text;
        double value;
    };
    const Row rows[] = {
        {"-0", -0.0},
        {"-0.0", -0.0},
        {"0.0", 0.0},
        {"1.0", 1.0},
        {"1e2", 100.0},
        {"1E+2", 100.0},
        {"25e-1", 2.5},
        {"0.7", 0.7},
        {"-9223372036854775809", -9223372036854775808.0},
        {"18446744073709551616", 18446744073709551616.0},
        {"-18446744073709551616", -18446744073709551616.0},
        {"100000000000000000000", 1e20},
        {"0.30000000000000004", 0.30000000000000004},
        // Written with more digits than the significand holds.
        {"123456789012345678901234567890", 1.2345678901234568e29},
        {"1.7976931348623157e308", 1.7976931348623157e308},
        {"4.9e-324", 4.9e-324},
        {"2.2250738585072014e-308", 2.2250738585072014e-308},
        {"1e-400", 0.0},
        {"-1e-400", -0.0},
        {"0e999", 0.0},
        {"0e-999", 0.0},
        // An exponent past 32 bits: zero unless it is positive with a non-zero significand.
        {"0e99999999999", 0.0},
        {"-0e99999999999", -0.0},
        {"1e-99999999999", 0.0},
        {"-1e-2147483648", -0.0},
        {"1e-2147483647", 0.0},
        // After the integer digits overflow, a smaller first fraction digit is still taken
        // (dropping it would give 1.8446744073709553).
        {"18446744073709551616.3e-19", 1.8446744073709551},
    };
    for (const Row& row : rows) {
        const double value = float_of(row.text);
        EXPECT_EQ(value, row.value) << row.text;
        EXPECT_EQ(std::signbit(value), std::signbit(row.value)) << row.text;
    }
}

// The steps, not correct rounding, define the value; each of these differs from
// a correctly rounded conversion.
TEST(Number, StepsWinOverCorrectRounding) {
    struct Row {
        std::string_view text;
        double value;
    };
    const Row rows[] = {
        {"9007199254740993.0", 9007199254740994.0},
        {"1.7976931348623156e308", 1.7976931348623157e308},
        // Exactly halfway between 1 and the next double: correct rounding gives 1.0.
        {"1.00000000000000011102230246251565404236316680908203125", 1.0000000000000002},
        // The written exponent is in -22..22 but the effective one (-23) is not.
        {"1.5e-22", 1.5000000000000002e-22},
        {"1.8925251493251378", 1.8925251493251376},
    };
    for (const Row& row : rows) {
        const std::string text(row.text);
        EXPECT_NE(std::strtod(text.c_str(), nullptr), row.value) << row.text << " would not test anything";
        EXPECT_EQ(float_of(row.text), row.value) << row.text;
        auto config = qf::decode_config(cat("[", text, ",1,1]"));
        ASSERT_TRUE(config) << row.text;
        EXPECT_EQ(config->temperature, row.value) << row.text;
    }
}

TEST(Number, Errors) {
    struct Row {
        std::string text;
        std::string_view expected;
    };
    const Row rows[] = {
        {"-", "EOF while parsing a value at line 1 column 1"},
        {"-a", "invalid number at line 1 column 2"},
        {"--1", "invalid number at line 1 column 2"},
        {"01", "invalid number at line 1 column 2"},
        {"-01", "invalid number at line 1 column 3"},
        {"1.", "EOF while parsing a value at line 1 column 2"},
        {"1.e5", "invalid number at line 1 column 3"},
        {"1e", "EOF while parsing a value at line 1 column 2"},
        {"1e-", "EOF while parsing a value at line 1 column 3"},
        {"1ex", "invalid number at line 1 column 3"},
        {"1e+-1", "invalid number at line 1 column 4"},
        {"1e309", "number out of range at line 1 column 5"},
        {"-1e309", "number out of range at line 1 column 6"},
        {"1.8e308", "number out of range at line 1 column 7"},
        {"1e2147483647", "number out of range at line 1 column 12"},
        // The digit that takes the exponent past 32 bits is where it fails.
        {"1e2147483648", "number out of range at line 1 column 12"},
        {"1e99999999999", "number out of range at line 1 column 12"},
        {cat("1", std::string(5000, '0')), "number out of range at line 1 column 5001"},
        {cat("0.", std::string(5000, '0'), "1e99999"), "number out of range at line 1 column 5009"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(error_of(row.text), row.expected) << row.text.substr(0, 40);
    }
}

TEST(Number, ThousandsOfDigits) {
    EXPECT_EQ(float_of(cat("1", std::string(5000, '0'), "e-5000")), 1.0);
    EXPECT_EQ(float_of(cat("0.", std::string(5000, '0'), "1")), 0.0);
    EXPECT_EQ(float_of(cat(std::string(400, '9'), ".999e-400")), 1.0);
    EXPECT_EQ(float_of(cat("0.", std::string(300, '0'), "1e300")), 1e-1);
}

// A number ends at the first byte that cannot continue it; that byte is left.
TEST(Number, StopsBeforeTheNextToken) {
    const std::string_view texts[] = {"12x", "1.5,", "-3]", "0 ", "1e5}", "7\n"};
    for (const std::string_view text : texts) {
        Reader reader(text);
        ASSERT_TRUE(reader.read_number()) << text;
        EXPECT_EQ(reader.index(), text.size() - 1) << text;
    }
}

// With at most 15 significant digits and an effective exponent in -22..22, one
// exact multiplication or division gives the correctly rounded double.
TEST(Number, ShortNumbersAreCorrectlyRounded) {
    std::mt19937_64 random(20240611);
    constexpr int kSamples = 200000;
    for (int i = 0; i < kSamples; ++i) {
        const int digits = 1 + static_cast<int>(random() % 15);
        std::string significand;
        significand.push_back(static_cast<char>('1' + random() % 9));
        for (int k = 1; k < digits; ++k) {
            significand.push_back(static_cast<char>('0' + random() % 10));
        }
        // Split into integer and fraction digits, optionally behind leading zeros.
        const int fraction = static_cast<int>(random() % (digits + 1));
        const int leading_zeros = fraction == digits ? static_cast<int>(random() % 4) : 0;
        const int effective = -22 + static_cast<int>(random() % 45);
        const int written = effective + fraction + leading_zeros;
        std::string text = random() % 2 == 0 ? "-" : "";
        if (fraction == digits) {
            text += cat("0.", std::string(static_cast<std::size_t>(leading_zeros), '0'), significand);
        } else {
            text += significand.substr(0, static_cast<std::size_t>(digits - fraction));
            if (fraction > 0) {
                text += cat(".", significand.substr(static_cast<std::size_t>(digits - fraction)));
            }
        }
        if (written != 0 || fraction == 0) {
            text += cat(random() % 2 == 0 ? "e" : "E", std::to_string(written));
        }
        auto number = read(text);
        ASSERT_TRUE(number) << text;
        ASSERT_EQ(number->to_double(), std::strtod(text.c_str(), nullptr)) << text;
    }
}

}  // namespace
