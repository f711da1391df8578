// The one statement of which byte sequences are UTF-8, and the decoders built on
// it: the JSON layer quotes found strings with them, the engine walks contents
// and tests lines with them, and the transcoder's scalar steps are these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qf::text {

inline bool is_continuation(unsigned char byte) noexcept { return (byte & 0xC0) == 0x80; }

inline const std::uint8_t* bytes_of(std::string_view text) noexcept {
    return reinterpret_cast<const std::uint8_t*>(text.data());
}

// Bytes of the well-formed sequence at p (p < end), or 0 when there is none:
// the second byte's range excludes overlong forms (E0, F0), surrogates (ED)
// and code points above U+10FFFF (F4); C0, C1 and F5..FF never lead.
inline std::size_t sequence_length(const std::uint8_t* p, const std::uint8_t* end) noexcept {
    const unsigned lead = p[0];
    const auto follows = [&](std::size_t i, unsigned low, unsigned high) {
        return end - p > static_cast<std::ptrdiff_t>(i) && p[i] >= low && p[i] <= high;
    };
    if (lead < 0x80) {
        return 1;
    }
    if (lead < 0xC2) {
        return 0;
    }
    if (lead < 0xE0) {
        return follows(1, 0x80, 0xBF) ? 2 : 0;
    }
    if (lead < 0xF0) {
        const unsigned low = lead == 0xE0 ? 0xA0 : 0x80;
        const unsigned high = lead == 0xED ? 0x9F : 0xBF;
        return follows(1, low, high) && follows(2, 0x80, 0xBF) ? 3 : 0;
    }
    if (lead < 0xF5) {
        const unsigned low = lead == 0xF0 ? 0x90 : 0x80;
        const unsigned high = lead == 0xF4 ? 0x8F : 0xBF;
        return follows(1, low, high) && follows(2, 0x80, 0xBF) && follows(3, 0x80, 0xBF) ? 4 : 0;
    }
    return 0;
}

// The character at p in text known to be well formed; p moves past it.
inline std::uint32_t decode_valid(const std::uint8_t*& p) noexcept {
    const std::uint32_t lead = p[0];
    if (lead < 0x80) {
        p += 1;
        return lead;
    }
    if (lead < 0xE0) {
        const std::uint32_t c = (lead & 0x1F) << 6 | (p[1] & 0x3Fu);
        p += 2;
        return c;
    }
    if (lead < 0xF0) {
        const std::uint32_t c = (lead & 0x0F) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu);
        p += 3;
        return c;
    }
    const std::uint32_t c = (lead & 0x07) << 18 | (p[1] & 0x3Fu) << 12 | (p[2] & 0x3Fu) << 6 | (p[3] & 0x3Fu);
    p += 4;
    return c;
}

struct Scalar {
    char32_t value;
    std::size_t length;  // bytes taken in the text, at least 1
};

inline constexpr Scalar kMalformed{0xFFFD, 1};

// The character at the start of a non-empty `text`; U+FFFD of one byte when the
// bytes there are not a well-formed sequence, so that any byte string can be
// walked. Inline: the word count and the trim decode every non-ASCII lead byte
// they meet.
inline Scalar decode_scalar(std::string_view text) noexcept {
    const std::uint8_t* p = bytes_of(text);
    const std::size_t length = sequence_length(p, p + text.size());
    if (length == 0) {
        return kMalformed;
    }
    return {decode_valid(p), length};
}

// The offset of the first byte that does not start a well-formed sequence
// (where Python's strict decoder reports it: UnicodeDecodeError.start), or npos
// when the whole text is UTF-8.
std::size_t first_invalid(std::string_view text) noexcept;

}  // namespace qf::text
