#include "quillforge/text/utf8.hpp"

#include "quillforge/text/ascii.hpp"

namespace qf::text {

std::size_t first_invalid(std::string_view text) noexcept {
    const std::uint8_t* const begin = bytes_of(text);
    const std::uint8_t* const end = begin + text.size();
    const std::uint8_t* p = begin;
    while (p < end) {
        // Eight ASCII bytes at a time, then one character at a time from the first that is not.
        if (end - p >= 8 && is_ascii8(p)) {
            p += 8;
            continue;
        }
        const std::size_t length = sequence_length(p, end);
        if (length == 0) {
            return static_cast<std::size_t>(p - begin);
        }
        p += length;
    }
    return std::string_view::npos;
}

}  // namespace qf::text
