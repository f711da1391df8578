// The JSON form of a block, written wherever one is: alone, inside a candidate,
// or straight from a call's two texts.
#pragma once

#include <string_view>

#include "quillforge/json/output.hpp"

namespace qf::detail {

// {"id":...,"content":...}
void write_block_json(json::Output& out, std::string_view id, std::string_view content);

}  // namespace qf::detail
