// The id slug: lowercase ASCII letters and digits in runs joined by single
// hyphens.
#pragma once

#include <string>
#include <string_view>

namespace qf::detail {

// Appends the slug of `id`: ASCII letters lowered, ASCII digits kept, every
// other character a separator; empty runs dropped, no hyphen at either end.
void append_slug(std::string& out, std::string_view id);

}  // namespace qf::detail
