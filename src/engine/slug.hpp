// The id slug: lowercase ASCII letters and digits in runs joined by single
// hyphens.
#pragma once

#include <string_view>

#include "quillforge/json/output.hpp"

namespace qf::detail {

// Appends the slug of `id`: ASCII letters lowered, ASCII digits kept, every
// other character a separator; empty runs dropped, no hyphen at either end.
// Works on bytes: every byte of a non-ASCII character is a separator, and runs
// of separators collapse, so the result equals mapping each character to one.
template <json::TextBuffer Text>
void append_slug(Text& out, std::string_view id) {
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
            out.push_back('-');
            pending_hyphen = false;
        }
        out.push_back(mapped);
        any = true;
    }
}

}  // namespace qf::detail
