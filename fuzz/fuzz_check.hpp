// What every fuzz target shares: a check that stops the run with a message
// (libFuzzer then saves the input), and the decoders' error shape.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "quillforge/json/error.hpp"

#define QF_FUZZ_CHECK(condition, what)                                                                    \
    do {                                                                                                  \
        if (!(condition)) {                                                                               \
            std::fprintf(stderr, "%s:%d: check failed: %s (%s)\n", __FILE__, __LINE__, #condition, what); \
            std::abort();                                                                                 \
        }                                                                                                 \
    } while (false)

namespace qf::fuzz {

inline std::string_view as_text(const unsigned char* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// A decoding error always carries a position inside the text (or just past
// its end) and shows it at the end of its display text.
inline void check_decode_error(const json::JsonError& error, std::string_view text) {
    QF_FUZZ_CHECK(!error.message.empty(), "an error has a message");
    QF_FUZZ_CHECK(error.line >= 1, "an error has a position");
    QF_FUZZ_CHECK(error.column <= text.size(), "the column lies within the text");
    const std::string tail = " at line " + std::to_string(error.line) + " column " + std::to_string(error.column);
    const std::string display = error.display();
    QF_FUZZ_CHECK(display.size() > tail.size() && display.ends_with(tail), display.c_str());
}

// Whether the reader's number steps give the correctly rounded double for a
// number text of JSON grammar: the digits, read as one integer, are exact in a
// double (at most 2^53) and the exponent left after the fraction digits lies
// in -22..22, so one multiplication or division of exact values remains.
inline bool reads_exactly(std::string_view number) {
    std::uint64_t significand = 0;
    long exponent = 0;
    std::size_t i = number.starts_with('-') ? 1 : 0;
    bool fraction = false;
    for (; i < number.size() && number[i] != 'e' && number[i] != 'E'; ++i) {
        if (number[i] == '.') {
            fraction = true;
            continue;
        }
        if (significand > (std::uint64_t{1} << 53) / 10) {
            return false;
        }
        significand = significand * 10 + static_cast<unsigned>(number[i] - '0');
        exponent -= fraction ? 1 : 0;
    }
    if (significand > (std::uint64_t{1} << 53)) {
        return false;
    }
    if (i < number.size()) {
        ++i;
        const bool negative = i < number.size() && number[i] == '-';
        i += i < number.size() && (number[i] == '-' || number[i] == '+') ? 1 : 0;
        long written = 0;
        for (; i < number.size(); ++i) {
            written = written * 10 + (number[i] - '0');
            if (written > 1000) {
                return significand == 0;
            }
        }
        exponent += negative ? -written : written;
    }
    return significand == 0 || (exponent >= -22 && exponent <= 22);
}

// How many doubles apart two finite doubles of the same sign are.
inline std::uint64_t ulp_distance(double a, double b) {
    std::int64_t x;
    std::int64_t y;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    if ((x < 0) != (y < 0)) {
        return a == b ? 0 : ~std::uint64_t{0};
    }
    return x > y ? static_cast<std::uint64_t>(x - y) : static_cast<std::uint64_t>(y - x);
}

}  // namespace qf::fuzz
