// The compact JSON writer: every function appends to a caller-owned text (an
// Output, or a std::string for a short message) and cannot fail.
#pragma once

#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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

template <TextBuffer Text>
[[gnu::noinline]] void append_escape(Text& out, unsigned char byte) {
    const char letter = kEscapeLetter[byte];
    if (letter != 'u') {
        const char escape[2] = {'\\', letter};
        out.append(escape, 2);
        return;
    }
    constexpr char kHex[] = "0123456789abcdef";
    const char escape[6] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
    out.append(escape, 6);
}

}  // namespace detail

// Appends `text` escaped for a JSON string, without the quotes: the fixed
// escapes, raw UTF-8 otherwise, runs without escapes in one piece.
template <TextBuffer Text>
void write_escaped(Text& out, std::string_view text) {
    const char* run = text.data();
    const char* const end = run + text.size();
    for (const char* p = run; p != end; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        if (detail::kEscapeLetter[byte] != 0) [[unlikely]] {
            out.append(run, static_cast<std::size_t>(p - run));
            detail::append_escape(out, byte);
            run = p + 1;
        }
    }
    out.append(run, static_cast<std::size_t>(end - run));
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

// Appends the whole tree, compactly, members in insertion order.
void write_value(Output& out, const JsonValue& value);

}  // namespace qf::json
