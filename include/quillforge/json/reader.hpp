// The strict JSON reader under the record decoders. It never builds a tree: a
// decoder pulls the tokens it expects from a read-only view of the text, and
// every problem becomes a JsonError with a fixed message and its position.
// Line and column are computed only when an error is built.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "quillforge/json/detail/string_scan.hpp"
#include "quillforge/json/error.hpp"
#include "quillforge/result.hpp"
#include "quillforge/text/classes.hpp"

namespace qf::json {

// A decoded number in its class.
struct Number {
    enum class Kind : std::uint8_t {
        Unsigned,  // no "-", no fraction, no exponent, at most 18446744073709551615
        Negative,  // "-", no fraction, no exponent, from -1 to -9223372036854775808
        Float,     // everything else
    };

    Kind kind = Kind::Unsigned;
    std::uint64_t unsigned_value = 0;
    std::int64_t negative_value = 0;
    double float_value = 0.0;

    // The nearest double, whatever the class.
    double to_double() const noexcept;
};

// "integer `{}`" or "floating point `{}`", as a type error shows a number found.
std::string describe_number(const Number& number);

class Reader {
public:
    static constexpr int kEnd = -1;
    static constexpr std::uint8_t kNestingBudget = 128;

    explicit Reader(std::string_view text) noexcept : text_(text) {}

    std::string_view text() const noexcept { return text_; }
    std::size_t index() const noexcept { return index_; }

    // Skips whitespace and returns the next byte (0-255) without consuming it,
    // or kEnd at the end of the text.
    int peek() noexcept {
        while (index_ < text_.size()) {
            const auto byte = static_cast<unsigned char>(text_[index_]);
            if (byte > ' ' || !text::is_json_white_space(byte)) {
                return byte;
            }
            ++index_;
        }
        return kEnd;
    }
    // Consumes the byte that peek() returned.
    void consume_peeked() noexcept { ++index_; }
    // True when the text goes on with exactly `bytes` (no whitespace skipped).
    bool next_is(std::string_view bytes) const noexcept {
        return text_.size() - index_ >= bytes.size() && text_.compare(index_, bytes.size(), bytes) == 0;
    }
    // Consumes `size` bytes that next_is() found.
    void consume(std::size_t size) noexcept { index_ += size; }
    // After a key's opening quotation mark: when the key is exactly `plain` (a
    // name without stop bytes) written as it is, consumes it with its closing
    // quotation mark, as read_string would have, and returns true.
    bool consume_key(std::string_view plain) noexcept {
        const std::size_t size = plain.size();
        if (text_.size() - index_ <= size || text_[index_ + size] != '"' ||
            std::memcmp(text_.data() + index_, plain.data(), size) != 0) {
            return false;
        }
        index_ += size + 1;
        return true;
    }

    // Reads a string whose opening quotation mark was consumed. The view points
    // into the text when the string holds no escape, else into the scratch
    // buffer; it stays valid until the next string is read or a value skipped.
    Result<std::string_view, JsonError> read_string() {
        const char* const begin = text_.data() + index_;
        const char* const stop = detail::find_string_stop_near(begin, text_.data() + text_.size());
        if (stop != nullptr && *stop == '"') {
            const auto length = static_cast<std::size_t>(stop - begin);
            index_ += length + 1;
            return std::string_view(begin, length);
        }
        return read_string_slowly();
    }

    // How many bytes of a string the reader hands over at a time (below).
    static constexpr std::size_t kPieceBytes = 16;

    // Reads a string whose opening quotation mark was consumed, handing what it
    // stands for to `visitor` in order, without gathering it anywhere:
    //   visitor.piece(p, n): the first n (at most kPieceBytes) of the
    //     kPieceBytes readable bytes at p are the string's next bytes, as
    //     written (no quotation mark, backslash or control byte among them);
    //   visitor.tail(p, n): the same for n bytes past which nothing is readable
    //     (the last bytes of the text);
    //   visitor.escape(raw, decoded): an escape as written, and its bytes.
    // Errors and their positions are read_string's; after one, the visitor has
    // seen a part of the string. Inline, so that the visitor lives in registers.
    template <class Visitor>
    [[gnu::always_inline]] Result<void, JsonError> read_string_pieces(Visitor& visitor);

    // Reads a number at its "-" or first digit.
    Result<Number, JsonError> read_number();

    // Consumes the "[" or "{" of a container that a decoder reads, taking one
    // level of the nesting budget; leave() gives it back.
    Result<void, JsonError> enter() {
        if (--budget_ == 0) [[unlikely]] {
            return too_deep();
        }
        ++index_;
        return {};
    }
    void leave() noexcept { ++budget_; }

    // The structural steps below are inline because decoders take one per token;
    // only their errors are built out of line.

    // Element syntax of a decoded array (`first`: right after its "["): true when
    // an element starts at the reader's position, false when the "]" was consumed.
    Result<bool, JsonError> next_element(bool first) {
        int next = peek();
        const bool comma = !first && next == ',';
        if (comma) {
            ++index_;
            next = peek();
        }
        if (next == ']') {
            if (!comma) {
                ++index_;
                return false;
            }
        } else if (next != kEnd && (first || comma)) {
            return true;
        }
        return element_error(comma);
    }
    // Member syntax of a decoded object: true when a key's opening quotation mark
    // was consumed, false when the "}" was consumed.
    Result<bool, JsonError> next_key(bool first) {
        int next = peek();
        const bool comma = !first && next == ',';
        if (comma) {
            ++index_;
            next = peek();
        }
        if (next == '"' && (first || comma)) {
            ++index_;
            return true;
        }
        if (next == '}' && !comma) {
            ++index_;
            return false;
        }
        return key_error(first, comma);
    }
    Result<void, JsonError> read_colon() {
        if (peek() == ':') {
            ++index_;
            return {};
        }
        return colon_error();
    }

    // The closing step of a record's array form after its last element.
    Result<void, JsonError> close_record_array();
    // The closing step before a record reports its own error: skips whitespace and
    // consumes `closer` if it follows. Anything else it finds is not reported.
    void consume_if_next(char closer) noexcept;

    // Skips one value of any kind and depth with a full syntax test and no
    // recursion; the nesting budget does not apply inside.
    Result<void, JsonError> skip_value();

    // For a value of the wrong kind where one described by `expected` belongs:
    // reads it and returns "invalid type: {found}, expected {expected}" at its
    // position, or the error that reading it gave.
    JsonError unexpected(std::string_view expected);
    // A number just read (ending at the reader's position) that its field refuses.
    JsonError invalid_type(const Number& number, std::string_view expected) const;
    JsonError invalid_value(const Number& number, std::string_view expected) const;
    // `message` at the reader's position (after the last byte consumed).
    JsonError error_here(std::string message) const;

    // After the top-level value: only whitespace may be left.
    Result<void, JsonError> finish();

private:
    // Builds an error at byte offset `offset`: "at X" is X's offset + 1,
    // "before X" is X's offset, "at the end" is the text's length.
    JsonError error_at(const char* message, std::size_t offset) const;
    JsonError error_at_end(const char* message) const { return error_at(message, text_.size()); }
    // The same as a failed result, built out of line: a hot function that
    // returns it needs no frame for an error it almost never makes.
    template <class T>
    [[gnu::cold, gnu::noinline]] Result<T, JsonError> failure_at(const char* message, std::size_t offset) const {
        return fail(error_at(message, offset));
    }
    template <class T>
    [[gnu::cold, gnu::noinline]] Result<T, JsonError> failure_at_end(const char* message) const {
        return fail(error_at(message, text_.size()));
    }

    // The errors of the inline steps, at the byte that peek() stops on.
    [[gnu::cold, gnu::noinline]] Result<void, JsonError> too_deep() const;
    [[gnu::cold, gnu::noinline]] Result<bool, JsonError> element_error(bool comma) const;
    bool at_end() const noexcept { return index_ == text_.size(); }
    [[gnu::cold, gnu::noinline]] Result<bool, JsonError> key_error(bool first, bool comma) const;
    [[gnu::cold, gnu::noinline]] Result<void, JsonError> colon_error() const;

    // The one-letter escapes' bytes ('/' for "\/"), 0 for any other letter.
    static constexpr char simple_escape(char letter) noexcept {
        switch (letter) {
        case '"':
            return '"';
        case '\\':
            return '\\';
        case '/':
            return '/';
        case 'b':
            return '\b';
        case 'f':
            return '\f';
        case 'n':
            return '\n';
        case 'r':
            return '\r';
        case 't':
            return '\t';
        default:
            return 0;
        }
    }

    // The cold and the long steps of read_string_pieces, out of line: a stop
    // byte that is neither a quotation mark nor a backslash, the end of the
    // text inside a string, and an escape other than the one-letter ones
    // (decoded into the scratch buffer; `next` becomes the offset after it).
    [[gnu::cold, gnu::noinline]] Result<void, JsonError> stray_stop(std::size_t offset) const;
    [[gnu::noinline]] Result<void, JsonError> decode_escape_alone(std::size_t backslash, std::size_t& next);

    // The code unit of the four hexadecimal digits at `p`, or -1 when one is not a digit.
    static long hex4(const char* p) noexcept {
        long unit = 0;
        for (int i = 0; i < 4; ++i) {
            const auto byte = static_cast<unsigned char>(p[i]);
            int digit = byte - '0';
            if (digit < 0 || digit > 9) {
                digit = (byte | 0x20) - 'a' + 10;
                if (digit < 10 || digit > 15) {
                    return -1;
                }
            }
            unit = unit * 16 + digit;
        }
        return unit;
    }

    // The UTF-8 bytes of the \u escape at `backslash` (at least six bytes before
    // `end`), or of it and the low surrogate's escape that must follow a high
    // one; their length, or 0 when the escape is not well formed.
    static std::size_t unicode_escape(const char* backslash, const char* end, char* bytes) noexcept {
        long unit = hex4(backslash + 2);
        if (unit < 0 || (unit >= 0xDC00 && unit <= 0xDFFF)) {
            return 0;
        }
        if (unit < 0x80) {
            bytes[0] = static_cast<char>(unit);
            return 1;
        }
        if (unit < 0x800) {
            bytes[0] = static_cast<char>(0xC0 | (unit >> 6));
            bytes[1] = static_cast<char>(0x80 | (unit & 0x3F));
            return 2;
        }
        if (unit < 0xD800 || unit > 0xDBFF) {
            bytes[0] = static_cast<char>(0xE0 | (unit >> 12));
            bytes[1] = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
            bytes[2] = static_cast<char>(0x80 | (unit & 0x3F));
            return 3;
        }
        if (end - backslash < 12 || backslash[6] != '\\' || backslash[7] != 'u') {
            return 0;
        }
        const long low = hex4(backslash + 8);
        if (low < 0xDC00 || low > 0xDFFF) {
            return 0;
        }
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        bytes[0] = static_cast<char>(0xF0 | (unit >> 18));
        bytes[1] = static_cast<char>(0x80 | ((unit >> 12) & 0x3F));
        bytes[2] = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
        bytes[3] = static_cast<char>(0x80 | (unit & 0x3F));
        return 4;
    }

    // A string that the inline first look did not settle: long, escaped or wrong.
    Result<std::string_view, JsonError> read_string_slowly();
    Result<std::string_view, JsonError> read_string_escaped(std::size_t start, std::size_t stop);
    Result<void, JsonError> decode_escape(std::size_t backslash, std::size_t& next);
    Result<void, JsonError> skip_string();
    Result<void, JsonError> skip_number();
    Result<char, JsonError> read_literal();  // returns the first letter
    JsonError number_error(const Number& number, const char* kind, std::string_view expected) const;

    std::string_view text_;
    std::size_t index_ = 0;
    std::uint8_t budget_ = kNestingBudget;
    std::string scratch_;  // decoded strings; the bracket stack while skipping
};

template <class Visitor>
inline Result<void, JsonError> Reader::read_string_pieces(Visitor& visitor) {
    const char* const data = text_.data();
    const char* const end = data + text_.size();
    const char* p = data + index_;
    for (;;) {
        const char* stop = nullptr;
        if (end - p >= static_cast<std::ptrdiff_t>(kPieceBytes)) {
#if defined(QF_BYTES16)
            const text::bytes16::Mask mask = detail::string_stop_mask(p);
            const std::size_t plain =
                !text::bytes16::any(mask) ? kPieceBytes : static_cast<std::size_t>(text::bytes16::first(mask));
#else
            const auto plain = static_cast<std::size_t>(detail::find_string_stop_bytewise(p, p + kPieceBytes) - p);
#endif
            if (plain == kPieceBytes) [[likely]] {
                visitor.piece(p, kPieceBytes);
                p += kPieceBytes;
                continue;
            }
            visitor.piece(p, plain);
            stop = p + plain;
        } else {
            stop = detail::find_string_stop_bytewise(p, end);
            visitor.tail(p, static_cast<std::size_t>(stop - p));
            if (stop == end) {
                return stray_stop(text_.size());
            }
        }
        if (*stop == '"') {
            index_ = static_cast<std::size_t>(stop - data) + 1;
            return {};
        }
        if (*stop != '\\') [[unlikely]] {
            return stray_stop(static_cast<std::size_t>(stop - data));
        }
        if (end - stop >= 2) {
            if (const char decoded = simple_escape(stop[1]); decoded != 0) [[likely]] {
                visitor.escape(std::string_view(stop, 2), std::string_view(&decoded, 1));
                p = stop + 2;
                continue;
            }
        }
        // A well-formed \u escape (or pair of them) inline; the rest, with the
        // errors and their positions, is decode_escape_alone's.
        if (end - stop >= 6 && stop[1] == 'u') {
            char bytes[4];
            if (const std::size_t length = unicode_escape(stop, end, bytes); length != 0) [[likely]] {
                const std::size_t raw = length == 4 ? 12 : 6;
                visitor.escape(std::string_view(stop, raw), std::string_view(bytes, length));
                p = stop + raw;
                continue;
            }
        }
        std::size_t next = 0;
        if (auto escape = decode_escape_alone(static_cast<std::size_t>(stop - data), next); !escape) {
            return escape;
        }
        visitor.escape(std::string_view(stop, static_cast<std::size_t>(data + next - stop)),
                       std::string_view(scratch_));
        p = data + next;
    }
}

}  // namespace qf::json
