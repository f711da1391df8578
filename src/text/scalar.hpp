// One character at a time: the steps every implementation falls back on for
// the bytes its vectors do not cover (the ends of a text, and the multi-byte
// characters of the portable and SSE2 versions), on the validator and decoder
// of utf8.hpp.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "quillforge/text/transcode.hpp"
#include "quillforge/text/utf8.hpp"

namespace qf::text::utf8::scalar {

// Transcodes valid text [p, end) into out, which has room for all of it. The
// text may start inside a character that a vector step has already written:
// its remaining continuation bytes are skipped.
template <class Out>
Out* transcode(const std::uint8_t* p, const std::uint8_t* end, Out* out) noexcept {
    while (p < end && is_continuation(*p)) {
        ++p;
    }
    while (p < end) {
        *out++ = static_cast<Out>(decode_valid(p));
    }
    return out;
}

// The first pass a character at a time, skipping the ASCII run that
// `ascii_run(p, end)` measures at p (a block at most, 0 when p is not ASCII).
template <class AsciiRun>
Shape measure(const std::uint8_t* p, const std::uint8_t* end, AsciiRun ascii_run) noexcept {
    Shape shape;
    std::uint8_t max_byte = 0;
    while (p < end) {
        if (const std::size_t ascii = ascii_run(p, end); ascii != 0) {
            p += ascii;
            shape.characters += ascii;
            continue;
        }
        const std::size_t length = sequence_length(p, end);
        if (length == 0) {
            shape.valid = false;
            return shape;
        }
        max_byte = std::max(max_byte, p[0]);
        ++shape.characters;
        p += length;
    }
    shape.width = width_of(max_byte);
    return shape;
}

// The second pass a character at a time, but for the ASCII run that
// `widen_ascii(p, end, out)` stores at out and measures at p (as measure's).
template <class Out, class WidenAscii>
void transcode(const std::uint8_t* p, const std::uint8_t* end, Out* out, WidenAscii widen_ascii) noexcept {
    while (p < end) {
        if (const std::size_t ascii = widen_ascii(p, end, out); ascii != 0) {
            p += ascii;
            out += ascii;
            continue;
        }
        *out++ = static_cast<Out>(decode_valid(p));
    }
}

}  // namespace qf::text::utf8::scalar
