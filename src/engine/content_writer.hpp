// One content of a candidate's merged text, written as the reader walks the
// content's string: in the same loop, each piece of decoded bytes goes through
// the hash, its text is stored to the output in its escaped form, and what
// the trim and the blank test need is noted. The hash is a serial chain of
// about four cycles a byte; everything else here does not wait for it, so it
// runs in the chain's shadow instead of in passes of its own.
//
// The text is written without the White_Space at its front (spaces and
// White_Space escapes before the first other character are not written; a
// non-ASCII character there is settled by finish()) and finish() takes back
// the White_Space at its end. Its escapes are written in the writer's
// canonical form, which the one-letter escapes of the lore (but "\/") already
// have: those are copied as they are.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "candidate_score.hpp"
#include "quillforge/json/reader.hpp"
#include "quillforge/json/writer.hpp"
#include "quillforge/text/bytes16.hpp"
#include "unicode_text.hpp"

namespace qf::detail {

class ContentWriter {
public:
    static constexpr std::size_t kPieceBytes = json::Reader::kPieceBytes;

    // Writes from `out`, which has room for the content's escaped text and
    // kPieceBytes more: pieces are stored whole and the cursor moved by their
    // length. The hash goes on from `hash`.
    ContentWriter(std::uint64_t hash, char* out) noexcept : hash_(hash), start_(out), cursor_(out), keep_(out) {}

    // The reader's visitor steps (json::Reader::read_string_pieces).
    [[gnu::always_inline]] void piece(const char* p, std::size_t size) noexcept {
        hash_ = fnv1a(hash_, p, size);
        if (leading_) [[unlikely]] {
            lead(p, size);
            return;
        }
        std::memcpy(cursor_, p, kPieceBytes);
        // Bytes after the last visible ASCII byte may be White_Space at the end.
        if (const unsigned visible = visible_ascii(p) & ((1u << size) - 1); visible != 0) {
            keep_ = cursor_ + std::bit_width(visible);
        }
        cursor_ += size;
    }

    void tail(const char* p, std::size_t size) noexcept {
        char padded[kPieceBytes] = {};
        std::memcpy(padded, p, size);
        piece(padded, size);
    }

    [[gnu::always_inline]] void escape(std::string_view raw, std::string_view decoded) noexcept {
        hash_ = fnv1a(hash_, decoded.data(), decoded.size());
        if (decoded.size() == 1) {
            const auto byte = static_cast<unsigned char>(decoded[0]);
            const bool white = text::is_white_space(byte);
            if (leading_) {
                if (white) {
                    blank_ = blank_ && text::is_blank_byte(static_cast<char>(byte));
                    return;
                }
                leading_ = false;
                blank_ = false;
            }
            if (raw.size() == 2 && raw[1] != '/') {
                std::memcpy(cursor_, raw.data(), 2);  // already canonical
                cursor_ += 2;
            } else {
                cursor_ = json::put_escaped_byte(cursor_, byte);
            }
            if (!white) {
                keep_ = cursor_;
            }
            return;
        }
        // A non-ASCII character, written as UTF-8.
        if (leading_) {
            leading_ = false;
            blank_ = false;
            settle_front_ = true;
        }
        std::memcpy(cursor_, decoded.data(), decoded.size());
        cursor_ += decoded.size();
    }

    // After the string's last piece: drops the White_Space left at either end
    // and returns the end of the text.
    char* finish() noexcept {
        char* front = start_;
        char* floor = keep_;
        if (settle_front_) [[unlikely]] {
            front = skip_front(start_, cursor_);
            floor = std::max(floor, front);
        }
        char* end = cursor_;
        if (end != floor) {
            end = skip_back(floor, end);
        }
        if (front != start_) [[unlikely]] {
            std::memmove(start_, front, static_cast<std::size_t>(end - front));
            end = start_ + (end - front);
        }
        return end;
    }

    std::uint64_t hash() const noexcept { return hash_; }
    // Only ' ', '\t', '\n', '\f' and '\r' in the content (qf::is_blank).
    bool blank() const noexcept { return blank_; }

private:
    // One bit per byte of the piece at `p` that is ASCII and not a space. A
    // piece holds no control byte, so every other ASCII byte is visible.
    static unsigned visible_ascii(const char* p) noexcept {
#if defined(QF_BYTES16)
        namespace v = text::bytes16;
        return v::bits(v::greater_signed(v::load(p), v::splat(' ')));
#else
        unsigned mask = 0;
        for (std::size_t i = 0; i < kPieceBytes; ++i) {
            const auto byte = static_cast<unsigned char>(p[i]);
            mask |= (byte > ' ' && byte < 0x80 ? 1u : 0u) << i;
        }
        return mask;
#endif
    }

    // A piece while nothing but White_Space has been read: its spaces are
    // not written; from its first other byte on it is written as usual.
    void lead(const char* p, std::size_t size) noexcept {
        const std::size_t first = leading_spaces(p, size);
        if (first == size) {
            return;
        }
        leading_ = false;
        blank_ = false;
        // A non-ASCII character may be White_Space too: finish() settles it.
        settle_front_ = static_cast<unsigned char>(p[first]) >= 0x80;
        std::memcpy(cursor_, p + first, size - first);
        const unsigned visible = visible_ascii(p) & ((1u << size) - 1) & ~((1u << first) - 1);
        if (visible != 0) {
            keep_ = cursor_ + (std::bit_width(visible) - first);
        }
        cursor_ += size - first;
    }

    // Out of line and given no `this`, so that the writer's state stays in
    // registers through the loop.
    [[gnu::noinline]] static std::size_t leading_spaces(const char* p, std::size_t size) noexcept {
        std::size_t first = 0;
        while (first < size && p[first] == ' ') {
            ++first;
        }
        return first;
    }

    // The written text's White_Space from `p` on: spaces, the escapes of the
    // White_Space controls, and non-ASCII White_Space. Decoding the written
    // bytes gives what decoding the content would: an escape begins with a
    // byte that cannot continue a UTF-8 sequence, as the bytes it stands for do.
    static char* skip_front(char* p, const char* end) noexcept {
        while (p != end) {
            const auto byte = static_cast<unsigned char>(*p);
            if (byte == ' ') {
                ++p;
            } else if (byte == '\\') {
                const char letter = p[1];  // an escape is always written whole
                if (letter == 'n' || letter == 't' || letter == 'r' || letter == 'f') {
                    p += 2;
                } else if (letter == 'u' && std::memcmp(p + 2, "000b", 4) == 0) {
                    p += 6;
                } else {
                    break;
                }
            } else if (byte < 0x80) {
                break;
            } else {
                const Scalar scalar = decode_scalar(std::string_view(p, static_cast<std::size_t>(end - p)));
                if (!is_white_space(scalar.value)) {
                    break;
                }
                p += scalar.length;
            }
        }
        return p;
    }

    // The end of the written text without its White_Space, stepping back from
    // `end` as trim_white_space does, but not below `floor`, after which only
    // spaces, White_Space escapes and non-ASCII bytes were written: there, an
    // ASCII byte other than a space is the last letter of such an escape
    // ("\u000b" the only one ending in 'b').
    static char* skip_back(const char* floor, char* end) noexcept {
        while (end != floor) {
            const auto byte = static_cast<unsigned char>(end[-1]);
            if (byte == ' ') {
                --end;
                continue;
            }
            if (byte < 0x80) {
                end -= byte == 'b' ? 6 : 2;
                continue;
            }
            char* start = end - 1;
            while (start != floor && end - start < 4 && text::is_continuation(static_cast<unsigned char>(*start))) {
                --start;
            }
            const Scalar scalar = decode_scalar(std::string_view(start, static_cast<std::size_t>(end - start)));
            if (start + scalar.length != end || !is_white_space(scalar.value)) {
                break;
            }
            end = start;
        }
        return end;
    }

    std::uint64_t hash_;
    char* start_;   // where the content's text begins
    char* cursor_;  // where the next byte goes
    char* keep_;    // after the last character written that is not White_Space, as far as known
    bool leading_ = true;
    bool blank_ = true;
    bool settle_front_ = false;  // written from a non-ASCII character that may be White_Space
};

}  // namespace qf::detail
