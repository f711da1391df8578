// Strings: decoded (escapes applied, surrogate pairs joined) or only tested
// when skipped.
#include "messages.hpp"
#include "quillforge/json/detail/string_scan.hpp"
#include "quillforge/json/reader.hpp"

namespace qf::json {

using namespace detail;

namespace {

int hex_value(char c) noexcept {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

void append_utf8(std::string& out, std::uint32_t code_point) {
    if (code_point < 0x80) {
        out.push_back(static_cast<char>(code_point));
    } else if (code_point < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    } else if (code_point < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    }
}

}  // namespace

Result<std::string_view, JsonError> Reader::read_string_slowly() {
    const char* const data = text_.data();
    const char* const stop = find_string_stop(data + index_, data + text_.size());
    if (stop != data + text_.size() && *stop == '"') {
        const std::string_view text(data + index_, static_cast<std::size_t>(stop - (data + index_)));
        index_ = static_cast<std::size_t>(stop - data) + 1;
        return text;
    }
    return read_string_escaped(index_, static_cast<std::size_t>(stop - data));
}

// The string from `start` holds an escape, an error, or ends the text; `stop` is
// its first stop byte.
Result<std::string_view, JsonError> Reader::read_string_escaped(std::size_t start, std::size_t stop) {
    const char* const data = text_.data();
    const std::size_t size = text_.size();
    scratch_.clear();
    for (;;) {
        scratch_.append(data + start, stop - start);
        if (stop == size) {
            return failure_at_end<std::string_view>(kEofString);
        }
        const char byte = data[stop];
        if (byte == '"') {
            index_ = stop + 1;
            return std::string_view(scratch_);
        }
        if (byte != '\\') {
            return failure_at<std::string_view>(kControlCharacter, stop + 1);
        }
        if (auto escape = decode_escape(stop, start); !escape) {
            return fail(std::move(escape).error());
        }
        stop = static_cast<std::size_t>(find_string_stop(data + start, data + size) - data);
    }
}

namespace {

// The code unit of the four hexadecimal digits at `at`, or -1 when fewer than
// four bytes are left (-2 when one of them is no hexadecimal digit).
long read_hex4(std::string_view text, std::size_t at) noexcept {
    if (text.size() - at < 4) {
        return -1;
    }
    long unit = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        const int digit = hex_value(text[at + i]);
        if (digit < 0) {
            return -2;
        }
        unit = unit * 16 + digit;
    }
    return unit;
}

}  // namespace

// Appends the escape at `backslash` to the scratch buffer; `next` becomes the
// offset after it.
Result<void, JsonError> Reader::decode_escape(std::size_t backslash, std::size_t& next) {
    const std::size_t size = text_.size();
    std::size_t at = backslash + 1;
    if (at == size) {
        return failure_at_end<void>(kEofString);
    }
    const char letter = text_[at];
    if (letter != 'u') {
        const char decoded = Reader::simple_escape(letter);
        if (decoded == 0) {
            return failure_at<void>(kInvalidEscape, at + 1);
        }
        scratch_.push_back(decoded);
        next = at + 1;
        return {};
    }
    // A bad hex digit is reported at the fourth digit, whichever one is bad.
    const auto hex_error = [&](long unit, std::size_t digits) {
        return unit == -1 ? error_at_end(kEofString) : error_at(kInvalidEscape, digits + 4);
    };
    const long unit = read_hex4(text_, at + 1);
    if (unit < 0) {
        return fail(hex_error(unit, at + 1));
    }
    at += 5;  // after the last digit
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
        return failure_at<void>(kLoneLeadingSurrogate, at);
    }
    if (unit < 0xD800 || unit > 0xDBFF) {
        append_utf8(scratch_, static_cast<std::uint32_t>(unit));
        next = at;
        return {};
    }
    // A high surrogate: a low one must follow as a second escape.
    if (at == size) {
        return failure_at_end<void>(kEofString);
    }
    if (text_[at] != '\\') {
        return failure_at<void>(kUnexpectedEndOfHexEscape, at + 1);
    }
    if (at + 1 == size) {
        return failure_at_end<void>(kEofString);
    }
    if (text_[at + 1] != 'u') {
        return failure_at<void>(kUnexpectedEndOfHexEscape, at + 2);
    }
    const long low = read_hex4(text_, at + 2);
    if (low < 0) {
        return fail(hex_error(low, at + 2));
    }
    at += 6;
    if (low < 0xDC00 || low > 0xDFFF) {
        return failure_at<void>(kLoneLeadingSurrogate, at);
    }
    append_utf8(scratch_, static_cast<std::uint32_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00)));
    next = at;
    return {};
}

Result<void, JsonError> Reader::stray_stop(std::size_t offset) const {
    if (offset == text_.size()) {
        return failure_at_end<void>(kEofString);
    }
    return failure_at<void>(kControlCharacter, offset + 1);
}

Result<void, JsonError> Reader::decode_escape_alone(std::size_t backslash, std::size_t& next) {
    scratch_.clear();
    return decode_escape(backslash, next);
}

// Tested, not decoded: a control byte is reported before itself, and the code
// units of \u escapes are not examined.
Result<void, JsonError> Reader::skip_string() {
    const char* const data = text_.data();
    const std::size_t size = text_.size();
    for (;;) {
        const std::size_t stop = static_cast<std::size_t>(find_string_stop(data + index_, data + size) - data);
        if (stop == size) {
            return failure_at_end<void>(kEofString);
        }
        const char byte = data[stop];
        if (byte == '"') {
            index_ = stop + 1;
            return {};
        }
        if (byte != '\\') {
            return failure_at<void>(kControlCharacter, stop);
        }
        const std::size_t at = stop + 1;
        if (at == size) {
            return failure_at_end<void>(kEofString);
        }
        if (text_[at] == 'u') {
            const long unit = read_hex4(text_, at + 1);
            if (unit == -1) {
                return failure_at_end<void>(kEofString);
            }
            if (unit == -2) {
                return failure_at<void>(kInvalidEscape, at + 5);
            }
            index_ = at + 5;
        } else if (Reader::simple_escape(text_[at]) != 0) {
            index_ = at + 1;
        } else {
            return failure_at<void>(kInvalidEscape, at + 1);
        }
    }
}

}  // namespace qf::json
