#pragma once

#include <string_view>

namespace qf {

inline constexpr std::string_view kPackageName = "quillforge";
inline constexpr std::string_view kVersion = "0.2.0";

}  // namespace qf
