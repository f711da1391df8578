#include "quillforge/json/error.hpp"

#include <algorithm>

namespace qf::json {

std::string JsonError::display() const {
    if (line == 0) {
        return message;
    }
    std::string text = message;
    text += " at line ";
    text += std::to_string(line);
    text += " column ";
    text += std::to_string(column);
    return text;
}

JsonError JsonError::at_offset(std::string message, std::string_view text, std::size_t offset) {
    offset = std::min(offset, text.size());
    const std::string_view before = text.substr(0, offset);
    const std::size_t last_feed = before.rfind('\n');
    const std::size_t line_start = last_feed == std::string_view::npos ? 0 : last_feed + 1;
    const auto feeds = static_cast<std::uint64_t>(std::count(before.begin(), before.end(), '\n'));
    return JsonError{std::move(message), feeds + 1, offset - line_start};
}

}  // namespace qf::json
