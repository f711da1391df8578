#include "unicode_text.hpp"

#include <bit>

namespace qf::detail {

using text::is_continuation;
using text::kHighBits;
using text::kOnes;

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
#if defined(QF_BYTES16)
    // Sixteen bytes at a time, one space flag per byte. Every byte of a
    // non-ASCII character is a letter unless the character is a space, and the
    // non-ASCII spaces all start with 0xC2, 0xE1, 0xE2 or 0xE3: only those lead
    // bytes are decoded. Such a lead byte is always a character boundary (it is
    // never a continuation byte), and a space that runs past the sixteen bytes
    // carries its last bytes into the next round.
    std::uint32_t carried = 0;
    while (text.size() - at >= 16) {
        const qf::text::bytes16::Bytes bytes = qf::text::bytes16::load(text.data() + at);
        const qf::text::bytes16::Bytes space = qf::text::white_space_mask_ascii16(bytes);
        const qf::text::bytes16::Bytes lead = qf::text::white_space_lead_mask16(bytes);
        std::uint32_t spaces = qf::text::bytes16::bits(space) | carried;
        for (std::uint32_t leads = qf::text::bytes16::bits(lead); leads != 0; leads &= leads - 1) {
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
            const std::uint64_t word = qf::text::load8(text.data() + at);
            if (qf::text::is_ascii_word(word)) {
                // Byte i starts a word when it is not space and byte i - 1 is.
                const std::uint64_t space = qf::text::white_space_mask_ascii8(word);
                const std::uint64_t before = (space << 8) | (after_space ? 0x80 : 0);
                // One flag per byte; the multiply sums them into the top byte (no popcount in baseline x86-64).
                words += (((~space & before & kHighBits) >> 7) * kOnes) >> 56;
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
