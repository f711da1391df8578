// "{title} contains {blocks} block(s) and {words} word(s)."
#pragma once

#include <cstdint>
#include <string_view>

#include "quillforge/json/output.hpp"

namespace qf::detail {

void write_summary_sentence(json::Output& out, std::string_view title, std::uint64_t blocks, std::uint64_t words);

}  // namespace qf::detail
