// The named sets of white space, each stated once. They differ on purpose:
// JSON allows four bytes between tokens; a blank field may also hold a form
// feed; a blank line of a JSON Lines block may also hold a vertical tab (the
// batch's set); trimming and word counts use the Unicode White_Space property.
#pragma once

#include <cstdint>
#include <string_view>

#include "quillforge/text/ascii.hpp"
#include "quillforge/text/bytes16.hpp"

namespace qf::text {

// Space, LF, CR, tab: what JSON skips between tokens.
inline bool is_json_white_space(unsigned char byte) noexcept {
    return byte == ' ' || byte == '\n' || byte == '\r' || byte == '\t';
}

// Space, tab, LF, FF, CR: a field of only these is blank.
inline bool is_blank_byte(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

// The blank bytes and the vertical tab: a line of only these is skipped.
inline bool is_blank_line_byte(char c) noexcept { return is_blank_byte(c) || c == '\v'; }

inline bool is_blank(std::string_view text) noexcept {
    for (const char c : text) {
        if (!is_blank_byte(c)) {
            return false;
        }
    }
    return true;
}

inline bool is_blank_line(std::string_view line) noexcept {
    for (const char c : line) {
        if (!is_blank_line_byte(c)) {
            return false;
        }
    }
    return true;
}

// Unicode White_Space: U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680,
// U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
inline bool is_white_space(char32_t c) noexcept {
    if (c < 0x80) {
        return c == 0x20 || (c >= 0x09 && c <= 0x0D);
    }
    switch (c) {
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
        return true;
    default:
        return c >= 0x2000 && c <= 0x200A;
    }
}

// The high bit of each byte of `word` (eight ASCII bytes) that is White_Space.
// No byte exceeds 0x7F, so none of the additions carries into the next byte.
inline std::uint64_t white_space_mask_ascii8(std::uint64_t word) noexcept {
    const std::uint64_t at_least_9 = word + kOnes * (0x80 - 0x09);
    const std::uint64_t at_least_14 = word + kOnes * (0x80 - 0x0E);
    const std::uint64_t not_space = (word ^ (kOnes * 0x20)) + kOnes * 0x7F;
    return ((at_least_9 & ~at_least_14) | ~not_space) & kHighBits;
}

// The non-ASCII White_Space characters all start with one of these bytes.
inline bool may_lead_white_space(unsigned char byte) noexcept { return byte == 0xC2 || (byte >= 0xE1 && byte <= 0xE3); }

#if defined(QF_BYTES16)
// Sixteen bytes: 0xFF where the byte is ASCII White_Space.
inline bytes16::Bytes white_space_mask_ascii16(bytes16::Bytes bytes) noexcept {
    namespace v = bytes16;
    const v::Bytes from_tab = v::minus(bytes, v::splat(0x09));
    return v::either(v::equal(bytes, v::splat(0x20)), v::at_most(from_tab, v::splat(0x04)));
}

// Sixteen bytes: 0xFF where the byte is one that may_lead_white_space accepts.
inline bytes16::Bytes white_space_lead_mask16(bytes16::Bytes bytes) noexcept {
    namespace v = bytes16;
    const v::Bytes from_e1 = v::minus(bytes, v::splat(0xE1));
    return v::either(v::equal(bytes, v::splat(0xC2)), v::at_most(from_e1, v::splat(0x02)));
}
#endif

}  // namespace qf::text
