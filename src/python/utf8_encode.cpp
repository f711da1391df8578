// Eight bytes of characters at a time while they are ASCII (the common case
// in every kind of str), one character at a time otherwise. The counting loops
// are simple enough for the compiler to vectorize.
#include "utf8_encode.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

namespace qf::py::utf8 {

namespace {

template <class Unit>
std::uint64_t load8(const Unit* p) noexcept {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// The bits that are set in any unit that is not ASCII, for 8 bytes of units.
template <class Unit>
constexpr std::uint64_t kNotAsciiBits = sizeof(Unit) == 1   ? 0x8080808080808080u
                                        : sizeof(Unit) == 2 ? 0xFF80FF80FF80FF80u
                                                            : 0xFFFFFF80FFFFFF80u;

template <class Unit>
std::size_t size_of(const Unit* units, std::size_t length) noexcept {
    std::size_t extra = 0;
    bool surrogate = false;
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint32_t c = units[i];
        extra += (c >= 0x80) + (c >= 0x800) + (c >= 0x10000);
        surrogate |= (c & 0xFFFFF800u) == 0xD800u;
    }
    return surrogate ? kHasSurrogate : length + extra;
}

char* put(std::uint32_t c, char* out) noexcept {
    if (c < 0x80) {
        *out++ = static_cast<char>(c);
    } else if (c < 0x800) {
        *out++ = static_cast<char>(0xC0 | (c >> 6));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (c >> 12));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (c >> 18));
        *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

template <class Unit>
void encode_units(const Unit* units, std::size_t length, char* out) noexcept {
    constexpr std::size_t kPerWord = 8 / sizeof(Unit);
    std::size_t i = 0;
    while (i < length) {
        if (length - i >= kPerWord && (load8(units + i) & kNotAsciiBits<Unit>) == 0) {
            for (std::size_t k = 0; k < kPerWord; ++k) {
                out[k] = static_cast<char>(units[i + k]);
            }
            out += kPerWord;
            i += kPerWord;
            continue;
        }
        out = put(units[i], out);
        ++i;
    }
}

}  // namespace

std::size_t encoded_size(int kind, const void* data, std::size_t length) noexcept {
    switch (kind) {
    case 1: {
        // Latin-1 holds no surrogate: one more byte for each above U+007F.
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        std::size_t high = 0;
        std::size_t i = 0;
        for (; i + 8 <= length; i += 8) {
            high += static_cast<std::size_t>(std::popcount(load8(bytes + i) & kNotAsciiBits<std::uint8_t>));
        }
        for (; i < length; ++i) {
            high += bytes[i] >> 7;
        }
        return length + high;
    }
    case 2:
        return size_of(static_cast<const std::uint16_t*>(data), length);
    default:
        return size_of(static_cast<const std::uint32_t*>(data), length);
    }
}

void encode(int kind, const void* data, std::size_t length, char* out) noexcept {
    switch (kind) {
    case 1:
        encode_units(static_cast<const std::uint8_t*>(data), length, out);
        break;
    case 2:
        encode_units(static_cast<const std::uint16_t*>(data), length, out);
        break;
    default:
        encode_units(static_cast<const std::uint32_t*>(data), length, out);
        break;
    }
}

}  // namespace qf::py::utf8
