// Numbers: the grammar, the class, and the value. The value is defined by its
// steps (a 64-bit significand, a decimal exponent, one multiplication or
// division by a tabulated power of ten), not by correct rounding, so no library
// conversion is used.
#include <cstdint>
#include <limits>

#include "messages.hpp"
#include "pow10_table.generated.hpp"
#include "quillforge/json/reader.hpp"

namespace qf::json {

using namespace detail;

namespace {

constexpr std::uint64_t kMaxSignificand = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kNegativeLimit = std::uint64_t{1} << 63;
constexpr int kMaxTableExponent = kPow10Count - 1;

// Whether significand * 10 + digit stays at most 18446744073709551615.
bool fits(std::uint64_t significand, unsigned digit) noexcept {
    return significand < kMaxSignificand / 10 || (significand == kMaxSignificand / 10 && digit <= kMaxSignificand % 10);
}

Number float_number(double value) noexcept {
    Number number;
    number.kind = Number::Kind::Float;
    number.float_value = value;
    return number;
}

}  // namespace

double Number::to_double() const noexcept {
    switch (kind) {
    case Kind::Unsigned:
        return static_cast<double>(unsigned_value);
    case Kind::Negative:
        return static_cast<double>(negative_value);
    case Kind::Float:
        break;
    }
    return float_value;
}

Result<Number, JsonError> Reader::read_number() {
    const char* const data = text_.data();
    const std::size_t size = text_.size();
    std::size_t at = index_;
    const auto digit_at = [&](std::size_t i) { return i < size && is_digit(data[i]); };
    // Where a digit is required: the end of the text or another character.
    const auto missing_digit = [&]() {
        return at == size ? error_at_end(kEofValue) : error_at(kInvalidNumber, at + 1);
    };

    const bool negative = data[at] == '-';
    if (negative) {
        ++at;
        if (!digit_at(at)) {
            return fail(missing_digit());
        }
    }

    std::uint64_t significand = 0;
    std::int64_t exponent = 0;
    bool switched = false;  // integer digits past the significand's range
    bool is_float = false;

    if (data[at] == '0') {
        ++at;
        if (digit_at(at)) {
            return failure_at<Number>(kInvalidNumber, at + 1);
        }
    } else {
        for (; digit_at(at); ++at) {
            const unsigned digit = static_cast<unsigned>(data[at] - '0');
            if (!switched && fits(significand, digit)) {
                significand = significand * 10 + digit;
            } else {
                switched = true;
                ++exponent;
            }
        }
    }

    if (at < size && data[at] == '.') {
        ++at;
        if (!digit_at(at)) {
            return fail(missing_digit());
        }
        is_float = true;
        bool dropping = false;
        for (; digit_at(at); ++at) {
            const unsigned digit = static_cast<unsigned>(data[at] - '0');
            if (!dropping && fits(significand, digit)) {
                significand = significand * 10 + digit;
                --exponent;
            } else {
                dropping = true;
            }
        }
    }

    if (at < size && (data[at] == 'e' || data[at] == 'E')) {
        ++at;
        bool exponent_negative = false;
        if (at < size && (data[at] == '+' || data[at] == '-')) {
            exponent_negative = data[at] == '-';
            ++at;
        }
        if (!digit_at(at)) {
            return fail(missing_digit());
        }
        is_float = true;
        std::int32_t written = 0;
        for (; digit_at(at); ++at) {
            const int digit = data[at] - '0';
            if (written > (std::numeric_limits<std::int32_t>::max() - digit) / 10) {
                ++at;
                if (significand != 0 && !exponent_negative) {
                    return failure_at<Number>(kNumberOutOfRange, at);
                }
                while (digit_at(at)) {
                    ++at;
                }
                index_ = at;
                return float_number(negative ? -0.0 : 0.0);
            }
            written = written * 10 + digit;
        }
        exponent += exponent_negative ? -std::int64_t{written} : std::int64_t{written};
    }
    index_ = at;

    if (!is_float && !switched) {
        Number number;
        if (!negative) {
            number.unsigned_value = significand;
            return number;
        }
        if (significand >= 1 && significand <= kNegativeLimit) {
            number.kind = Number::Kind::Negative;
            // 0 - significand in unsigned arithmetic is the two's complement value.
            number.negative_value = static_cast<std::int64_t>(std::uint64_t{0} - significand);
            return number;
        }
        return float_number(-static_cast<double>(significand));
    }

    // Saturate at the limits of a signed 32-bit exponent.
    if (exponent > std::numeric_limits<std::int32_t>::max()) {
        exponent = std::numeric_limits<std::int32_t>::max();
    } else if (exponent < std::numeric_limits<std::int32_t>::min()) {
        exponent = std::numeric_limits<std::int32_t>::min();
    }
    double value = static_cast<double>(significand);
    if (value != 0.0) {
        while (exponent > kMaxTableExponent || exponent < -kMaxTableExponent) {
            if (exponent > 0) {
                return failure_at<Number>(kNumberOutOfRange, at);
            }
            value /= kPow10[kMaxTableExponent];
            exponent += kMaxTableExponent;
        }
        if (exponent >= 0) {
            value *= kPow10[exponent];
            if (value == std::numeric_limits<double>::infinity()) {
                return failure_at<Number>(kNumberOutOfRange, at);
            }
        } else {
            value /= kPow10[-exponent];
        }
    }
    return float_number(negative ? -value : value);
}

}  // namespace qf::json
