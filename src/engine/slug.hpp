// The id slug: lowercase ASCII letters and digits in runs joined by single
// hyphens.
#pragma once

#include <cstddef>
#include <string_view>
#include <type_traits>

#include "quillforge/json/output.hpp"

namespace qf::detail {

// The slug of `id`: ASCII letters lowered, ASCII digits kept, every other
// character a separator; empty runs dropped, no hyphen at either end. Works on
// bytes: every byte of a non-ASCII character is a separator, and runs of
// separators collapse, so the result equals mapping each character to one.
// Written at `out`, which has room for id.size() bytes (the slug is never
// longer); returns its end.
inline char* put_slug(char* out, std::string_view id) noexcept {
    bool pending_hyphen = false;
    bool any = false;
    for (const char c : id) {
        char mapped;
        if (c >= 'a' && c <= 'z') {
            mapped = c;
        } else if (c >= 'A' && c <= 'Z') {
            mapped = static_cast<char>(c - 'A' + 'a');
        } else if (c >= '0' && c <= '9') {
            mapped = c;
        } else {
            pending_hyphen = any;
            continue;
        }
        if (pending_hyphen) {
            *out++ = '-';
            pending_hyphen = false;
        }
        *out++ = mapped;
        any = true;
    }
    return out;
}

// Appends the slug of `id` to an Output or a std::string.
template <class Text>
void append_slug(Text& out, std::string_view id) {
    if constexpr (std::is_same_v<Text, json::Output>) {
        out.advance_to(put_slug(out.room(id.size()), id));
    } else {
        const std::size_t size = out.size();
        out.resize(size + id.size());
        out.resize(static_cast<std::size_t>(put_slug(out.data() + size, id) - out.data()));
    }
}

}  // namespace qf::detail
