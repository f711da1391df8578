// The compact JSON writer: every function appends to a caller-owned text (an
// Output, or a std::string for a short message) and cannot fail.
#pragma once

#include <array>
#include <charconv>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "quillforge/json/detail/string_scan.hpp"
#include "quillforge/json/output.hpp"

namespace qf::json {

class JsonValue;

// Room an output text starts with before it grows.
inline constexpr std::size_t kInitialOutputCapacity = 128;

// Longest float text ("-1.7976931348623157e+308" and the like).
inline constexpr std::size_t kMaxFloatText = 24;

namespace detail {

// For each byte: 0 when it is copied as it is, otherwise the letter of its
// two-byte escape, or 'u' for the six-byte form.
inline constexpr std::array<char, 256> kEscapeLetter = [] {
    std::array<char, 256> table{};
    for (int c = 0; c < 0x20; ++c) {
        table[c] = 'u';
    }
    table['"'] = '"';
    table['\\'] = '\\';
    table['\b'] = 'b';
    table['\t'] = 't';
    table['\n'] = 'n';
    table['\f'] = 'f';
    table['\r'] = 'r';
    return table;
}();

// Writes the escape of a byte that needs one (kEscapeLetter[byte] != 0) at
// `out`, which has room for six bytes; returns the end.
inline char* put_escape(char* out, unsigned char byte) noexcept {
    constexpr char kHex[] = "0123456789abcdef";
    const char letter = kEscapeLetter[byte];
    out[0] = '\\';
    out[1] = letter;
    if (letter != 'u') {
        return out + 2;
    }
    out[2] = '0';
    out[3] = '0';
    out[4] = kHex[byte >> 4];
    out[5] = kHex[byte & 0xF];
    return out + 6;
}

template <TextBuffer Text>
[[gnu::noinline]] void append_escape(Text& out, unsigned char byte) {
    char escape[6];
    out.append(escape, static_cast<std::size_t>(put_escape(escape, byte) - escape));
}

}  // namespace detail

// Writes `byte` at `out` (room for six bytes) as a JSON string holds it; returns the end.
inline char* put_escaped_byte(char* out, unsigned char byte) noexcept {
    if (detail::kEscapeLetter[byte] == 0) {
        *out = static_cast<char>(byte);
        return out + 1;
    }
    return detail::put_escape(out, byte);
}

// Up to this many bytes, write_escaped writes into an Output by words, or a
// byte at a time when the text holds a byte to escape.
inline constexpr std::size_t kShortText = 32;

namespace detail {

// Nonzero when one of the bytes of `word` needs an escape: below 0x20, '"' or
// '\\'. Exact as a yes or no: a byte above 0x7F never sets its high bit here.
inline std::uint64_t escapes_in(std::uint64_t word) noexcept {
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    constexpr std::uint64_t kHigh = 0x8080808080808080u;
    const auto below = [](std::uint64_t x, std::uint64_t n) { return (x - kOnes * n) & ~x & kHigh; };
    return below(word, 0x20) | below(word ^ (kOnes * '"'), 1) | below(word ^ (kOnes * '\\'), 1);
}

template <class Word>
Word load_word(const char* p) noexcept {
    Word word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// Copies a text of 4 to 32 bytes that needs no escape to `out`, in words that
// overlap at its end; false, with nothing written, when it needs one.
inline bool copy_plain(char* out, const char* text, std::size_t size) noexcept {
    if (size >= 8) {
        std::uint64_t found = escapes_in(load_word<std::uint64_t>(text + size - 8));
        for (std::size_t at = 0; at + 8 < size; at += 8) {
            found |= escapes_in(load_word<std::uint64_t>(text + at));
        }
        if (found != 0) {
            return false;
        }
        for (std::size_t at = 0; at + 8 < size; at += 8) {
            std::memcpy(out + at, text + at, 8);
        }
        std::memcpy(out + size - 8, text + size - 8, 8);
        return true;
    }
    const std::uint32_t head = load_word<std::uint32_t>(text);
    const std::uint32_t tail = load_word<std::uint32_t>(text + size - 4);
    if (escapes_in(static_cast<std::uint64_t>(tail) << 32 | head) != 0) {
        return false;
    }
    std::memcpy(out, &head, 4);
    std::memcpy(out + size - 4, &tail, 4);
    return true;
}

}  // namespace detail

// Appends `text` escaped for a JSON string, without the quotes: the fixed
// escapes, raw UTF-8 otherwise, runs without escapes in one piece. The bytes
// that need an escape are the string scan's stop bytes, so the runs between
// them are found sixteen bytes at a time.
template <TextBuffer Text>
void write_escaped(Text& out, std::string_view text) {
    // A short text (an id, a title) is written straight into the output's
    // room, in words when nothing in it needs an escape, else a byte at a
    // time: fewer steps than scanning it and appending its runs.
    if constexpr (requires(char* end) {
                      { out.room(text.size()) } -> std::same_as<char*>;
                      out.advance_to(end);
                  }) {
        if (text.size() <= kShortText) {
            char* cursor = out.room(text.size() * 6);
            if (text.size() >= 4 && detail::copy_plain(cursor, text.data(), text.size())) {
                out.advance_to(cursor + text.size());
                return;
            }
            for (const char c : text) {
                cursor = put_escaped_byte(cursor, static_cast<unsigned char>(c));
            }
            out.advance_to(cursor);
            return;
        }
    }
    const char* run = text.data();
    const char* const end = run + text.size();
    for (;;) {
        const char* const stop = detail::find_string_stop(run, end);
        out.append(run, static_cast<std::size_t>(stop - run));
        if (stop == end) {
            return;
        }
        detail::append_escape(out, static_cast<unsigned char>(*stop));
        run = stop + 1;
    }
}

// Appends `text` as a JSON string: quotes, fixed escapes, raw UTF-8 otherwise.
template <TextBuffer Text>
void write_string(Text& out, std::string_view text) {
    out.push_back('"');
    write_escaped(out, text);
    out.push_back('"');
}

template <TextBuffer Text>
void write_u64(Text& out, std::uint64_t value) {
    char buffer[20];
    out.append(buffer, static_cast<std::size_t>(std::to_chars(buffer, buffer + 20, value).ptr - buffer));
}

template <TextBuffer Text>
void write_i64(Text& out, std::int64_t value) {
    char buffer[20];
    out.append(buffer, static_cast<std::size_t>(std::to_chars(buffer, buffer + 20, value).ptr - buffer));
}

// Writes the float text of a finite `value` into `buffer` (at least kMaxFloatText
// bytes) and returns its length: shortest round-trip digits, always with a "."
// or an exponent.
std::size_t format_f64(double value, char* buffer);

// Appends the float text of `value` ("null" when not finite).
template <TextBuffer Text>
void write_f64(Text& out, double value) {
    if (!std::isfinite(value)) {
        out.append("null", 4);
        return;
    }
    char buffer[kMaxFloatText];
    out.append(buffer, format_f64(value, buffer));
}

namespace detail {

// "00" to "99", each number's two digits at twice its offset.
inline constexpr char kDigitPairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

}  // namespace detail

// Appends the float text of the double nearest `millionths` / 1e6, for
// `millionths` from 0 to 1,000,000: what write_f64 gives for that double (the
// tests prove it for every value), without its search for the shortest
// digits. Six decimals pin the double, so its shortest text is the decimal
// itself: trailing zeros dropped, and below 1e-5 in e-notation.
template <TextBuffer Text>
void write_millionths(Text& out, std::uint32_t millionths) {
    if (millionths == 0 || millionths >= 1000000) {
        out.append(millionths == 0 ? "0.0" : "1.0", 3);
        return;
    }
    if (millionths < 10) {
        const char text[4] = {static_cast<char>('0' + millionths), 'e', '-', '6'};
        out.append(text, 4);
        return;
    }
    // "0." and six digits, two at a time, then the trailing zeros dropped
    // (the last nonzero digit stays).
    char text[8] = {'0', '.'};
    std::memcpy(text + 2, detail::kDigitPairs + 2 * (millionths / 10000), 2);
    std::memcpy(text + 4, detail::kDigitPairs + 2 * (millionths / 100 % 100), 2);
    std::memcpy(text + 6, detail::kDigitPairs + 2 * (millionths % 100), 2);
    std::size_t size = 8;
    while (text[size - 1] == '0') {
        --size;
    }
    out.append(text, size);
}

// Appends the whole tree, compactly, members in insertion order.
void write_value(Output& out, const JsonValue& value);

}  // namespace qf::json
