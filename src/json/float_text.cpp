// Float text: the shortest digits that read back to the same double, laid out
// in plain decimal for exponents -5 to 15 and in e-notation beyond.
#include <charconv>
#include <cmath>
#include <cstring>

#include "quillforge/json/writer.hpp"

namespace qf::json {

namespace {

struct Decimal {
    char digits[17];
    int count = 0;
    int exponent = 0;  // of the first digit
};

// The shortest round-trip digits, nearest to the exact value, ties to even
// (what std::to_chars gives without a precision).
Decimal shortest_decimal(double magnitude) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, magnitude, std::chars_format::scientific);
    Decimal decimal;
    const char* p = text;
    for (; p != result.ptr && *p != 'e'; ++p) {
        if (*p != '.') {
            decimal.digits[decimal.count++] = *p;
        }
    }
    // p points at 'e', then a sign and at least two digits.
    const bool negative = p[1] == '-';
    int exponent = 0;
    for (const char* q = p + 2; q != result.ptr; ++q) {
        exponent = exponent * 10 + (*q - '0');
    }
    decimal.exponent = negative ? -exponent : exponent;
    return decimal;
}

char* put_zeros(char* out, int count) {
    std::memset(out, '0', static_cast<std::size_t>(count));
    return out + count;
}

}  // namespace

std::size_t format_f64(double value, char* buffer) {
    char* out = buffer;
    if (value == 0.0) {
        if (std::signbit(value)) {
            *out++ = '-';
        }
        std::memcpy(out, "0.0", 3);
        return static_cast<std::size_t>(out + 3 - buffer);
    }
    if (value < 0) {
        *out++ = '-';
        value = -value;
    }
    const Decimal d = shortest_decimal(value);
    const int n = d.count;
    const int e = d.exponent;
    if (e >= -5 && e <= 15) {
        if (n - 1 <= e) {
            // A whole number: digits, zeros up to the decimal point, ".0".
            std::memcpy(out, d.digits, static_cast<std::size_t>(n));
            out = put_zeros(out + n, e + 1 - n);
            std::memcpy(out, ".0", 2);
            out += 2;
        } else if (e < 0) {
            std::memcpy(out, "0.", 2);
            out = put_zeros(out + 2, -e - 1);
            std::memcpy(out, d.digits, static_cast<std::size_t>(n));
            out += n;
        } else {
            std::memcpy(out, d.digits, static_cast<std::size_t>(e + 1));
            out += e + 1;
            *out++ = '.';
            std::memcpy(out, d.digits + e + 1, static_cast<std::size_t>(n - e - 1));
            out += n - e - 1;
        }
    } else {
        *out++ = d.digits[0];
        if (n > 1) {
            *out++ = '.';
            std::memcpy(out, d.digits + 1, static_cast<std::size_t>(n - 1));
            out += n - 1;
        }
        *out++ = 'e';
        *out++ = e < 0 ? '-' : '+';
        out = std::to_chars(out, out + 4, e < 0 ? -e : e).ptr;
    }
    return static_cast<std::size_t>(out - buffer);
}

void write_f64(std::string& out, double value) {
    if (!std::isfinite(value)) {
        out.append("null", 4);
        return;
    }
    char buffer[kMaxFloatText];
    out.append(buffer, format_f64(value, buffer));
}

}  // namespace qf::json
