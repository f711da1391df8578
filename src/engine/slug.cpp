#include "slug.hpp"

namespace qf::detail {

// Works on bytes: every byte of a non-ASCII character is a separator, and runs
// of separators collapse, so the result equals mapping each character to one.
void append_slug(std::string& out, std::string_view id) {
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
