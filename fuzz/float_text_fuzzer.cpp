// The float writer: for any double (eight input bytes), the text is at most 24
// bytes, reads back to the same double through a correctly rounding reader,
// has no shorter digit string that does, and reads back through our own reader
// to the same double wherever the reader's steps are exact.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_check.hpp"
#include "quillforge/json/reader.hpp"
#include "quillforge/json/writer.hpp"
#include "support.hpp"

namespace {

// Whether `digits` (decimal, no sign) times ten to `exponent` names `value`.
bool names(std::uint64_t digits, int exponent, double value) {
    char text[48];
    std::snprintf(text, sizeof text, "%llue%d", static_cast<unsigned long long>(digits), exponent);
    return std::strtod(text, nullptr) == value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size != sizeof(double)) {
        return -1;  // not worth keeping in the corpus
    }
    double value;
    std::memcpy(&value, data, sizeof value);

    std::string text;
    qf::json::write_f64(text, value);
    if (!std::isfinite(value)) {
        QF_FUZZ_CHECK(text == "null", text.c_str());
        return 0;
    }
    if (value == 0.0) {
        QF_FUZZ_CHECK(text == (std::signbit(value) ? "-0.0" : "0.0"), text.c_str());
        return 0;
    }
    QF_FUZZ_CHECK(text.size() <= qf::json::kMaxFloatText, text.c_str());
    QF_FUZZ_CHECK(text.find_first_of(".e") != std::string::npos, text.c_str());
    QF_FUZZ_CHECK(std::strtod(text.c_str(), nullptr) == value && std::signbit(value) == (text[0] == '-'), text.c_str());

    // Shortest: no string of one digit fewer names the value. The nearest such
    // string and its two neighbours are the only candidates.
    const qf::test::Digits split = qf::test::digits_of(text);
    const auto count = split.digits.size();
    QF_FUZZ_CHECK(count >= 1 && count <= 17, text.c_str());
    if (count > 1) {
        const double magnitude = std::fabs(value);
        const std::uint64_t nearest = (std::stoull(split.digits) + 5) / 10;
        for (const std::uint64_t shorter : {nearest - 1, nearest, nearest + 1}) {
            QF_FUZZ_CHECK(shorter == 0 || !names(shorter, split.exponent + 1, magnitude), text.c_str());
        }
    }

    qf::json::Reader reader(text);
    auto number = reader.read_number();
    QF_FUZZ_CHECK(number.has_value(), text.c_str());
    QF_FUZZ_CHECK(reader.finish().has_value(), text.c_str());
    QF_FUZZ_CHECK(number->kind == qf::json::Number::Kind::Float, text.c_str());
    const std::uint64_t distance = qf::fuzz::ulp_distance(number->float_value, value);
    QF_FUZZ_CHECK(qf::fuzz::reads_exactly(text) ? distance == 0 : distance <= 2, text.c_str());
    return 0;
}
