// The one UTF-8 decoder: the JSON layer quotes found strings with it, and the
// engine's character-level text work walks contents with it.
#pragma once

#include <cstddef>
#include <string_view>

namespace qf::json::detail {

struct Scalar {
    char32_t value;
    std::size_t length;  // bytes taken in the text, at least 1
};

inline bool is_continuation(unsigned char byte) noexcept { return (byte & 0xC0) == 0x80; }

inline constexpr Scalar kMalformed{0xFFFD, 1};

// The character at the start of a non-empty `text`; U+FFFD of one byte when the
// bytes there are not a well-formed sequence (overlong, surrogate, past
// U+10FFFF, cut short or a stray byte), so that any byte string can be walked.
// Inline: the word count and the trim decode every non-ASCII lead byte they meet.
inline Scalar decode_scalar(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    const unsigned char lead = p[0];
    if (lead < 0x80) {
        return {lead, 1};
    }
    std::size_t length = 0;
    char32_t value = 0;
    // The second byte's range excludes overlong forms, surrogates and values past U+10FFFF.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return kMalformed;
    }
    if (size < length || p[1] < low || p[1] > high) {
        return kMalformed;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (!is_continuation(p[i])) {
            return kMalformed;
        }
        value = (value << 6) | (p[i] & 0x3F);
    }
    return {value, length};
}

}  // namespace qf::json::detail
