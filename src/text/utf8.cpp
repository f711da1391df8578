#include "quillforge/text/utf8.hpp"

#include "quillforge/text/ascii.hpp"
#include "quillforge/text/transcode.hpp"

namespace qf::text {

std::size_t first_invalid(std::string_view text) noexcept {
    const std::uint8_t* const begin = bytes_of(text);
    const std::uint8_t* const end = begin + text.size();
    const std::uint8_t* p = begin;
    // Most lines are ASCII for a long way: 32 bytes a test, then 8.
    while (end - p >= 32 && is_ascii_word(load8(p) | load8(p + 8) | load8(p + 16) | load8(p + 24))) {
        p += 32;
    }
    while (end - p >= 8 && is_ascii8(p)) {
        p += 8;
    }
    // Past a leading ASCII run, which ends on a character boundary, valid text
    // is far more common than not: the vector validator answers for a long
    // rest at several bytes a cycle; a short rest, or one it rejects, is
    // walked for the offset. (A call costs about as much as 32 bytes walked.)
    if (end - p >= 32 && utf8::kernels().measure(text.substr(static_cast<std::size_t>(p - begin))).valid) {
        return std::string_view::npos;
    }
    while (p < end) {
        while (end - p >= 8 && is_ascii8(p)) {
            p += 8;
        }
        if (p == end) {
            break;
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
