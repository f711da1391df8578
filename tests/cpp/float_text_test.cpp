#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "quillforge/json/writer.hpp"

namespace {

std::string float_text(double value) {
    std::string out;
    qf::json::write_f64(out, value);
    return out;
}

TEST(FloatText, Layout) {
    struct Case {
        double value;
        std::string_view expected;
    };
    const Case cases[] = {
        {1.0, "1.0"},
        {100.0, "100.0"},
        {0.1, "0.1"},
        {12.5, "12.5"},
        {0.121873, "0.121873"},
        {0.001, "0.001"},
        {0.00001, "0.00001"},
        {0.0000125, "0.0000125"},
        {0.000001, "1e-6"},
        {1.25e-7, "1.25e-7"},
        {1e15, "1000000000000000.0"},
        {1e16, "1e+16"},
        {1.5e16, "1.5e+16"},
        {1e20, "1e+20"},
        {18446744073709551616.0, "1.8446744073709552e+19"},
        {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
        {std::numeric_limits<double>::denorm_min(), "5e-324"},
        {-2.5, "-2.5"},
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {123456789012345.6, "123456789012345.6"},
        {1234567890123456.8, "1234567890123456.8"},
        {-0.000012345678901234567, "-0.000012345678901234568"},
        {-std::numeric_limits<double>::max(), "-1.7976931348623157e+308"},
        {2.2250738585072014e-308, "2.2250738585072014e-308"},
        {std::numeric_limits<double>::quiet_NaN(), "null"},
        {-std::numeric_limits<double>::infinity(), "null"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(float_text(c.value), c.expected);
        EXPECT_LE(float_text(c.value).size(), qf::json::kMaxFloatText);
    }
}

}  // namespace
