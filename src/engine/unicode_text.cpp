#include "unicode_text.hpp"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qf::detail {

using json::detail::is_continuation;

bool is_white_space(char32_t c) noexcept {
    if (c < 0x80) {
        return c == 0x20 || (c >= 0x09 && c <= 0x0D);
    }
    switch (c) {
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
        return true;
    default:
        return c >= 0x2000 && c <= 0x200A;
    }
}

std::string_view trim_white_space(std::string_view text) noexcept {
    std::size_t begin = 0;
    while (begin < text.size()) {
        const Scalar scalar = decode_scalar(text.substr(begin));
        if (!is_white_space(scalar.value)) {
            break;
        }
        begin += scalar.length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        // Step back to the lead byte of the last character (at most three continuation bytes).
        std::size_t start = end - 1;
        while (start > begin && end - start < 4 && is_continuation(static_cast<unsigned char>(text[start]))) {
            --start;
        }
        const Scalar scalar = decode_scalar(text.substr(start, end - start));
        // A sequence that does not reach the end leaves a stray last byte: not whitespace.
        if (start + scalar.length != end || !is_white_space(scalar.value)) {
            break;
        }
        end = start;
    }
    return text.substr(begin, end - begin);
}

std::uint64_t count_words_by_character(std::string_view text) noexcept {
    std::uint64_t words = 0;
    bool after_space = true;
    for (std::size_t at = 0; at < text.size();) {
        const Scalar scalar = decode_scalar(text.substr(at));
        const bool space = is_white_space(scalar.value);
        words += after_space && !space;
        after_space = space;
        at += scalar.length;
    }
    return words;
}

namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101;
constexpr std::uint64_t kHigh = 0x8080808080808080;

// The high bit of each byte of `word` (eight ASCII bytes) that is White_Space.
// No byte exceeds 0x7F, so none of the additions carries into the next byte.
std::uint64_t ascii_space_mask(std::uint64_t word) noexcept {
    const std::uint64_t at_least_9 = word + kOnes * (0x80 - 0x09);
    const std::uint64_t at_least_14 = word + kOnes * (0x80 - 0x0E);
    const std::uint64_t not_space = (word ^ (kOnes * 0x20)) + kOnes * 0x7F;
    return ((at_least_9 & ~at_least_14) | ~not_space) & kHigh;
}

}  // namespace

namespace {

// One character's step of the count; returns the offset after it.
std::size_t count_character(std::string_view text, std::size_t at, bool& after_space, std::uint64_t& words) {
    const Scalar scalar = decode_scalar(text.substr(at));
    const bool space = is_white_space(scalar.value);
    words += after_space && !space;
    after_space = space;
    return at + scalar.length;
}

}  // namespace

std::uint64_t count_words(std::string_view text) noexcept {
    if constexpr (std::endian::native != std::endian::little) {
        return count_words_by_character(text);
    }
    std::uint64_t words = 0;
    bool after_space = true;
    std::size_t at = 0;
#if defined(__SSE2__)
    // Sixteen bytes at a time, one space flag per byte. Every byte of a
    // non-ASCII character is a letter unless the character is a space, and the
    // non-ASCII spaces all start with 0xC2, 0xE1, 0xE2 or 0xE3: only those lead
    // bytes are decoded. Such a lead byte is always a character boundary (it is
    // never a continuation byte), and a space that runs past the sixteen bytes
    // carries its last bytes into the next round.
    std::uint32_t carried = 0;
    while (text.size() - at >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + at));
        const __m128i from_tab = _mm_sub_epi8(bytes, _mm_set1_epi8(0x09));
        const __m128i space = _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(0x20)),
                                           _mm_cmpeq_epi8(_mm_min_epu8(from_tab, _mm_set1_epi8(0x04)), from_tab));
        const __m128i from_e1 = _mm_sub_epi8(bytes, _mm_set1_epi8(static_cast<char>(0xE1)));
        const __m128i lead = _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(static_cast<char>(0xC2))),
                                          _mm_cmpeq_epi8(_mm_min_epu8(from_e1, _mm_set1_epi8(0x02)), from_e1));
        std::uint32_t spaces = static_cast<std::uint32_t>(_mm_movemask_epi8(space)) | carried;
        for (auto leads = static_cast<std::uint32_t>(_mm_movemask_epi8(lead)); leads != 0; leads &= leads - 1) {
            const int i = std::countr_zero(leads);
            const Scalar scalar = decode_scalar(text.substr(at + static_cast<std::size_t>(i)));
            if (is_white_space(scalar.value)) {
                spaces |= ((1u << scalar.length) - 1) << i;
            }
        }
        carried = spaces >> 16;
        spaces &= 0xFFFF;
        const std::uint32_t before = (spaces << 1) | (after_space ? 1u : 0u);
        words += static_cast<std::uint64_t>(std::popcount(~spaces & before & 0xFFFFu));
        after_space = (spaces >> 15) != 0;
        at += 16;
    }
    // The rest of a space carried past the last round.
    at += static_cast<std::size_t>(std::popcount(carried));
#endif
    while (at < text.size()) {
        if (text.size() - at >= 8) {
            std::uint64_t word;
            std::memcpy(&word, text.data() + at, 8);
            if ((word & kHigh) == 0) {
                // Byte i starts a word when it is not space and byte i - 1 is.
                const std::uint64_t space = ascii_space_mask(word);
                const std::uint64_t before = (space << 8) | (after_space ? 0x80 : 0);
                // One flag per byte; the multiply sums them into the top byte (no popcount in baseline x86-64).
                words += (((~space & before & kHigh) >> 7) * kOnes) >> 56;
                after_space = (space >> 63) != 0;
                at += 8;
                continue;
            }
        }
        at = count_character(text, at, after_space, words);
    }
    return words;
}

}  // namespace qf::detail
