// How a type error shows a string it found.
#pragma once

#include <string>
#include <string_view>

namespace qf::json::detail {

// The text between double quotes with the quote, the backslash, tab, line feed,
// carriage return and U+0000 escaped by name, and every other character that is
// not printable or is a Grapheme_Extend mark from U+0300 on written as \u{hex}.
std::string quoted_form(std::string_view text);

}  // namespace qf::json::detail
