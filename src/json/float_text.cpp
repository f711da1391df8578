// Float text: the shortest digits that read back to the same double, laid out
// in plain decimal for exponents -5 to 15 and in e-notation beyond.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "quillforge/json/writer.hpp"

namespace qf::json {

namespace {

struct Decimal {
    char digits[17];
    int count = 0;
    int exponent = 0;  // of the first digit
};

// Most floats met in practice (scores, temperatures) are short decimals. The
// fewest fraction digits p whose nearest decimal m / 10^p reads back exactly
// give the shortest digits: with m below 10^15 no other decimal of p digits
// lies within half an ulp, and fewer digits would have been found at a smaller
// p. Both m and 10^p are exact, so the division is the read-back.
bool short_decimal(double magnitude, Decimal& decimal) {
    if (!(magnitude >= 1e-5 && magnitude < 1e15)) {
        return false;
    }
    double scale = 1.0;
    for (int p = 0; p <= 17; ++p, scale *= 10.0) {
        const double scaled = magnitude * scale;
        if (scaled >= 1e15) {
            return false;
        }
        // Off by one only next to a half, where no candidate reads back anyway.
        const auto m = static_cast<std::uint64_t>(scaled + 0.5);
        if (static_cast<double>(m) / scale != magnitude) {
            continue;
        }
        char* end = std::to_chars(decimal.digits, decimal.digits + sizeof decimal.digits, m).ptr;
        const int length = static_cast<int>(end - decimal.digits);
        decimal.exponent = length - 1 - p;
        while (end[-1] == '0') {
            --end;  // only a whole number (p == 0) ends in zeros
        }
        decimal.count = static_cast<int>(end - decimal.digits);
        return true;
    }
    return false;
}

// The shortest round-trip digits, nearest to the exact value, ties to even
// (what std::to_chars gives without a precision).
Decimal shortest_decimal(double magnitude) {
    if (Decimal decimal; short_decimal(magnitude, decimal)) {
        return decimal;
    }
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

}  // namespace qf::json
