// Character-level text work with the Unicode White_Space property (text/classes.hpp):
// trimming and word counting. Inputs are UTF-8; a malformed byte reads as one
// non-whitespace character, so any byte string is safe to walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "quillforge/text/classes.hpp"
#include "quillforge/text/utf8.hpp"

namespace qf::detail {

using text::decode_scalar;
using text::is_white_space;
using text::Scalar;

// `text` without White_Space characters at either end; a view into `text`.
std::string_view trim_white_space(std::string_view text) noexcept;

// Maximal runs of characters that are not White_Space. Runs eight ASCII bytes
// at a time where it can.
std::uint64_t count_words(std::string_view text) noexcept;

// The same count, one character at a time: the reference for the fast path.
std::uint64_t count_words_by_character(std::string_view text) noexcept;

}  // namespace qf::detail
