// ASCII tests eight bytes at a time in a 64-bit word: the fast path that every
// byte loop takes before it decodes anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace qf::text {

inline constexpr std::uint64_t kOnes = 0x0101010101010101u;
inline constexpr std::uint64_t kHighBits = 0x8080808080808080u;

inline std::uint64_t load8(const void* p) noexcept {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

inline bool is_ascii_word(std::uint64_t word) noexcept { return (word & kHighBits) == 0; }

// The eight bytes at p are all below 0x80.
inline bool is_ascii8(const void* p) noexcept { return is_ascii_word(load8(p)); }

// No byte of `text` is above 0x7F. No early exit: results are mostly ASCII,
// and a branch-free pass over them is the fast case.
inline bool is_ascii(std::string_view text) noexcept {
    std::uint64_t any = 0;
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        any |= load8(text.data() + i);
    }
    for (; i < text.size(); ++i) {
        any |= static_cast<unsigned char>(text[i]);
    }
    return is_ascii_word(any);
}

}  // namespace qf::text
