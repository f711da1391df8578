#include "describe.hpp"

#include <algorithm>
#include <cstdint>

#include "quillforge/json/reader.hpp"
#include "quillforge/json/writer.hpp"
#include "quillforge/text/utf8.hpp"
#include "unicode_tables.hpp"

namespace qf::json {

using text::decode_scalar;
using text::Scalar;

namespace detail {

bool in_ranges(std::span<const CodeRange> ranges, std::uint32_t code_point) noexcept {
    const auto after =
        std::upper_bound(ranges.begin(), ranges.end(), code_point, [](std::uint32_t value, const CodeRange& range) {
            return value < range.first;
        });
    return after != ranges.begin() && code_point <= std::prev(after)->last;
}

namespace {

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
        const Scalar scalar = decode_scalar(text.substr(i));
        const std::string_view bytes = text.substr(i, scalar.length);
        i += scalar.length;
        switch (scalar.value) {
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
        // A malformed byte (U+FFFD of one byte) is copied as it is.
        const bool malformed = scalar.length == 1 && scalar.value >= 0x80;
        if (!malformed && needs_braced_escape(scalar.value)) {
            append_braced_hex(out, scalar.value);
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
