#include "describe.hpp"

#include <algorithm>
#include <cstdint>

#include "quillforge/json/reader.hpp"
#include "quillforge/json/writer.hpp"
#include "unicode_tables.hpp"

namespace qf::json {

namespace detail {

bool in_ranges(std::span<const CodeRange> ranges, std::uint32_t code_point) noexcept {
    const auto after = std::upper_bound(ranges.begin(), ranges.end(), code_point,
                                        [](std::uint32_t value, const CodeRange& range) { return value < range.first; });
    return after != ranges.begin() && code_point <= std::prev(after)->last;
}

namespace {

// The code point starting at `text[i]` and its length in bytes. A byte that
// starts no well-formed sequence stands for itself (length 1, code point -1).
struct Decoded {
    std::int32_t code_point;
    std::size_t length;
};

Decoded decode_utf8(std::string_view text, std::size_t i) noexcept {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) {
        return {lead, 1};
    }
    std::size_t length = 0;
    std::uint32_t value = 0;
    std::uint32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, value = lead & 0x1Fu, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, value = lead & 0x0Fu, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07u, minimum = 0x10000;
    } else {
        return {-1, 1};
    }
    if (text.size() - i < length) {
        return {-1, 1};
    }
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return {-1, 1};
        }
        value = (value << 6) | (byte(i + k) & 0x3Fu);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return {-1, 1};
    }
    return {static_cast<std::int32_t>(value), length};
}

void append_braced_hex(std::string& out, std::uint32_t code_point) {
    static constexpr char kDigits[] = "0123456789abcdef";
    char buffer[8];
    int count = 0;
    do {
        buffer[count++] = kDigits[code_point & 0xF];
        code_point >>= 4;
    } while (code_point != 0);
    out += "\\u{";
    while (count > 0) {
        out.push_back(buffer[--count]);
    }
    out.push_back('}');
}

bool needs_braced_escape(std::uint32_t code_point) noexcept {
    if (code_point < 0x80) {
        return code_point < 0x20 || code_point == 0x7F;
    }
    return in_ranges(not_printable_ranges(), code_point) ||
           (code_point >= 0x300 && in_ranges(grapheme_extend_ranges(), code_point));
}

}  // namespace

std::string quoted_form(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    for (std::size_t i = 0; i < text.size();) {
        const Decoded decoded = decode_utf8(text, i);
        const std::string_view bytes = text.substr(i, decoded.length);
        i += decoded.length;
        switch (decoded.code_point) {
        case '"':
            out += "\\\"";
            continue;
        case '\\':
            out += "\\\\";
            continue;
        case '\t':
            out += "\\t";
            continue;
        case '\n':
            out += "\\n";
            continue;
        case '\r':
            out += "\\r";
            continue;
        case 0:
            out += "\\0";
            continue;
        default:
            break;
        }
        if (decoded.code_point >= 0 && needs_braced_escape(static_cast<std::uint32_t>(decoded.code_point))) {
            append_braced_hex(out, static_cast<std::uint32_t>(decoded.code_point));
        } else {
            out += bytes;
        }
    }
    out.push_back('"');
    return out;
}

}  // namespace detail

std::string describe_number(const Number& number) {
    std::string out;
    switch (number.kind) {
    case Number::Kind::Unsigned:
        out = "integer `";
        write_u64(out, number.unsigned_value);
        break;
    case Number::Kind::Negative:
        out = "integer `";
        write_i64(out, number.negative_value);
        break;
    case Number::Kind::Float:
        out = "floating point `";
        write_f64(out, number.float_value);
        break;
    }
    out.push_back('`');
    return out;
}

}  // namespace qf::json
