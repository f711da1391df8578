// Finding the end of a run of plain string bytes: the first quotation mark,
// backslash or byte below 0x20. Every variant returns the same pointer and none
// reads at or past `end` (the text is a view whose end is not padded).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

#if defined(__SSE2__)
inline int string_stop_mask(__m128i bytes) noexcept {
    const __m128i quote = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('"'));
    const __m128i backslash = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\'));
    // byte <= 0x1F exactly when min(byte, 0x1F) == byte (unsigned).
    const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(bytes, _mm_set1_epi8(0x1F)), bytes);
    return _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(quote, backslash), control));
}

// Sixteen bytes first, as most strings (keys above all) end within them; then
// thirty-two per round while they last, then sixteen, then the word scan.
inline const char* find_string_stop_sse2(const char* p, const char* end) noexcept {
    if (end - p >= 16) {
        const int mask = string_stop_mask(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        if (mask != 0) {
            return p + std::countr_zero(static_cast<unsigned>(mask));
        }
        p += 16;
    }
    while (end - p >= 32) {
        const int low = string_stop_mask(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        const int high = string_stop_mask(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)));
        const std::uint32_t mask = static_cast<std::uint32_t>(low) | (static_cast<std::uint32_t>(high) << 16);
        if (mask != 0) {
            return p + std::countr_zero(mask);
        }
        p += 32;
    }
    if (end - p >= 16) {
        const int mask = string_stop_mask(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        if (mask != 0) {
            return p + std::countr_zero(static_cast<unsigned>(mask));
        }
        p += 16;
    }
    return find_string_stop_portable(p, end);
}
#endif

inline const char* find_string_stop(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
    return find_string_stop_sse2(p, end);
#else
    return find_string_stop_portable(p, end);
#endif
}

// A first look, cheap enough to inline where a string is read: the first stop
// byte when it lies among the next sixteen bytes (eight without SSE2) or before
// the end of a shorter rest, else nullptr. Most strings, keys above all, end
// within it, and so do the strings of a short text's last bytes.
inline const char* find_string_stop_near(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
    constexpr std::ptrdiff_t kLook = 16;
    if (end - p >= kLook) {
        const int mask = string_stop_mask(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        return mask != 0 ? p + std::countr_zero(static_cast<unsigned>(mask)) : nullptr;
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
