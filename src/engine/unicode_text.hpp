// Character-level text work with the Unicode White_Space property: trimming
// and word counting. Inputs are UTF-8; a malformed byte reads as one
// non-whitespace character, so any byte string is safe to walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "quillforge/json/detail/utf8.hpp"

namespace qf::detail {

using json::detail::decode_scalar;
using json::detail::Scalar;

// U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028,
// U+2029, U+202F, U+205F, U+3000.
bool is_white_space(char32_t c) noexcept;

// `text` without White_Space characters at either end; a view into `text`.
std::string_view trim_white_space(std::string_view text) noexcept;

// Maximal runs of characters that are not White_Space. Runs eight ASCII bytes
// at a time where it can.
std::uint64_t count_words(std::string_view text) noexcept;

// The same count, one character at a time: the reference for the fast path.
std::uint64_t count_words_by_character(std::string_view text) noexcept;

}  // namespace qf::detail
