// "{title} contains {blocks} block(s) and {words} word(s)."
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qf::detail {

std::string summary_sentence(std::string_view title, std::uint64_t blocks, std::uint64_t words);

}  // namespace qf::detail
