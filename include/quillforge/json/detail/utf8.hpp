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

// The character at the start of a non-empty `text`; U+FFFD of one byte when the
// bytes there are not a well-formed sequence (overlong, surrogate, past
// U+10FFFF, cut short or a stray byte), so that any byte string can be walked.
Scalar decode_scalar(std::string_view text) noexcept;

}  // namespace qf::json::detail
