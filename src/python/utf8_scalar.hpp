// One character at a time: the steps every implementation falls back on for
// the bytes its vectors do not cover (the ends of a text, and the multi-byte
// characters of the portable and SSE2 versions).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "utf8_transcode.hpp"

namespace qf::py::utf8::scalar {

// Bytes of the well-formed sequence at p (p < end), or 0 when there is none:
// the second byte's range excludes overlong forms (E0, F0), surrogates (ED)
// and code points above U+10FFFF (F4).
inline std::size_t sequence_length(const std::uint8_t* p, const std::uint8_t* end) noexcept {
    const unsigned lead = p[0];
    const auto follows = [&](std::size_t i, unsigned low, unsigned high) {
        return end - p > static_cast<std::ptrdiff_t>(i) && p[i] >= low && p[i] <= high;
    };
    if (lead < 0x80) {
        return 1;
    }
    if (lead < 0xC2) {
        return 0;
    }
    if (lead < 0xE0) {
        return follows(1, 0x80, 0xBF) ? 2 : 0;
    }
    if (lead < 0xF0) {
        const unsigned low = lead == 0xE0 ? 0xA0 : 0x80;
        const unsigned high = lead == 0xED ? 0x9F : 0xBF;
        return follows(1, low, high) && follows(2, 0x80, 0xBF) ? 3 : 0;
    }
    if (lead < 0xF5) {
        const unsigned low = lead == 0xF0 ? 0x90 : 0x80;
        const unsigned high = lead == 0xF4 ? 0x8F : 0xBF;
        return follows(1, low, high) && follows(2, 0x80, 0xBF) && follows(3, 0x80, 0xBF) ? 4 : 0;
    }
    return 0;
}

// The character at p in valid text; p moves past it.
inline std::uint32_t decode(const std::uint8_t*& p) noexcept {
    const std::uint32_t lead = p[0];
    if (lead < 0x80) {
        p += 1;
        return lead;
    }
    if (lead < 0xE0) {
        const std::uint32_t c = (lead & 0x1F) << 6 | (p[1] & 0x3Fu);
        p += 2;
        return c;
    }
    if (lead < 0xF0) {
        const std::uint32_t c = (lead & 0x0F) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu);
        p += 3;
        return c;
    }
    const std::uint32_t c = (lead & 0x07) << 18 | (p[1] & 0x3Fu) << 12 | (p[2] & 0x3Fu) << 6 | (p[3] & 0x3Fu);
    p += 4;
    return c;
}

// Transcodes valid text [p, end) into out, which has room for all of it. The
// text may start inside a character that a vector step has already written:
// its remaining continuation bytes are skipped.
template <class Out>
Out* transcode(const std::uint8_t* p, const std::uint8_t* end, Out* out) noexcept {
    while (p < end && (*p & 0xC0) == 0x80) {
        ++p;
    }
    while (p < end) {
        *out++ = static_cast<Out>(decode(p));
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
        *out++ = static_cast<Out>(decode(p));
    }
}

inline const std::uint8_t* bytes_of(std::string_view text) noexcept {
    return reinterpret_cast<const std::uint8_t*>(text.data());
}

}  // namespace qf::py::utf8::scalar
