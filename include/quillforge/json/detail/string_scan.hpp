// Finding the end of a run of plain string bytes: the first quotation mark,
// backslash or byte below 0x20. Every variant returns the same pointer and none
// reads at or past `end` (the text is a view whose end is not padded).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "quillforge/text/bytes16.hpp"

namespace qf::json::detail {

inline bool is_string_stop(unsigned char byte) noexcept { return byte == '"' || byte == '\\' || byte < 0x20; }

inline const char* find_string_stop_bytewise(const char* p, const char* end) noexcept {
    while (p != end && !is_string_stop(static_cast<unsigned char>(*p))) {
        ++p;
    }
    return p;
}

// The high bit of each stop byte among the eight at `p` (little-endian words
// only). A byte's flag can only be wrong above an earlier true stop (borrows run
// upwards), so the lowest flag is exact.
inline std::uint64_t word_stop_hits(const char* p) noexcept {
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    constexpr std::uint64_t kHighs = 0x8080808080808080u;
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    const std::uint64_t quote = word ^ (kOnes * '"');
    const std::uint64_t backslash = word ^ (kOnes * '\\');
    return (((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) | ((word - kOnes * 0x20) & ~word)) & kHighs;
}

// Eight bytes at a time in a 64-bit word.
inline const char* find_string_stop_portable(const char* p, const char* end) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        while (end - p >= 8) {
            if (const std::uint64_t hits = word_stop_hits(p); hits != 0) {
                return p + std::countr_zero(hits) / 8;
            }
            p += 8;
        }
    }
    return find_string_stop_bytewise(p, end);
}

#if defined(QF_BYTES16)
// Flags the stop bytes among sixteen.
inline text::bytes16::Bytes string_stop_flags(text::bytes16::Bytes bytes) noexcept {
    namespace v = text::bytes16;
    const v::Bytes quote = v::equal(bytes, v::splat('"'));
    const v::Bytes backslash = v::equal(bytes, v::splat('\\'));
    const v::Bytes control = v::at_most(bytes, v::splat(0x1F));
    return v::either(v::either(quote, backslash), control);
}

inline text::bytes16::Mask string_stop_mask(const char* p) noexcept {
    return text::bytes16::mask(string_stop_flags(text::bytes16::load(p)));
}

// Sixteen bytes first, as most strings (keys above all) end within them; then
// thirty-two per round while they last, then sixteen, then the word scan.
inline const char* find_string_stop_vector(const char* p, const char* end) noexcept {
    namespace v = text::bytes16;
    if (end - p >= 16) {
        const v::Mask mask = string_stop_mask(p);
        if (v::any(mask)) {
            return p + v::first(mask);
        }
        p += 16;
    }
    while (end - p >= 32) {
        const v::Mask low = string_stop_mask(p);
        const v::Mask high = string_stop_mask(p + 16);
        const v::Mask32 mask = v::join(low, high);
        if (v::any(mask)) {
            return p + v::first(mask);
        }
        p += 32;
    }
    if (end - p >= 16) {
        const v::Mask mask = string_stop_mask(p);
        if (v::any(mask)) {
            return p + v::first(mask);
        }
        p += 16;
    }
    return find_string_stop_portable(p, end);
}
#endif

inline const char* find_string_stop(const char* p, const char* end) noexcept {
#if defined(QF_BYTES16)
    return find_string_stop_vector(p, end);
#else
    return find_string_stop_portable(p, end);
#endif
}

// A first look, cheap enough to inline where a string is read: the first stop
// byte when it lies among the next sixteen bytes (eight without a vector unit) or before
// the end of a shorter rest, else nullptr. Most strings, keys above all, end
// within it, and so do the strings of a short text's last bytes.
inline const char* find_string_stop_near(const char* p, const char* end) noexcept {
#if defined(QF_BYTES16)
    constexpr std::ptrdiff_t kLook = 16;
    if (end - p >= kLook) {
        const text::bytes16::Mask mask = string_stop_mask(p);
        return text::bytes16::any(mask) ? p + text::bytes16::first(mask) : nullptr;
    }
#else
    constexpr std::ptrdiff_t kLook = 8;
    if (std::endian::native == std::endian::little && end - p >= kLook) {
        const std::uint64_t hits = word_stop_hits(p);
        return hits != 0 ? p + std::countr_zero(hits) / 8 : nullptr;
    }
#endif
    const char* const stop = find_string_stop_bytewise(p, end - p < kLook ? end : p + kLook);
    return stop != end && stop != p + kLook ? stop : nullptr;
}

}  // namespace qf::json::detail
