// The reader's structure: containers, literals, skipping, and the errors.
#include "quillforge/json/reader.hpp"

#include "describe.hpp"
#include "messages.hpp"

namespace qf::json {

using namespace detail;

[[gnu::cold, gnu::noinline]] JsonError Reader::error_at(const char* message, std::size_t offset) const {
    return JsonError::at_offset(message, text_, offset);
}

[[gnu::cold, gnu::noinline]] JsonError Reader::error_here(std::string message) const {
    return JsonError::at_offset(std::move(message), text_, index_);
}

// The cold halves of the inline steps: peek() has left the reader on the byte
// that stopped them (or at the end), after the comma when `comma`.
Result<void, JsonError> Reader::too_deep() const { return failure_at<void>(kRecursionLimit, index_ + 1); }

Result<bool, JsonError> Reader::element_error(bool comma) const {
    if (comma) {
        if (at_end()) {
            return failure_at_end<bool>(kEofValue);
        }
        return failure_at<bool>(kTrailingComma, index_ + 1);  // only a "]" stops an element after a comma
    }
    if (at_end()) {
        return failure_at_end<bool>(kEofList);
    }
    return failure_at<bool>(kExpectedCommaOrBracket, index_ + 1);
}

Result<bool, JsonError> Reader::key_error(bool first, bool comma) const {
    if (comma) {
        if (at_end()) {
            return failure_at_end<bool>(kEofValue);
        }
        return failure_at<bool>(text_[index_] == '}' ? kTrailingComma : kKeyMustBeString, index_ + 1);
    }
    if (at_end()) {
        return failure_at_end<bool>(kEofObject);
    }
    return failure_at<bool>(first ? kKeyMustBeString : kExpectedCommaOrBrace, index_ + 1);
}

Result<void, JsonError> Reader::colon_error() const {
    if (at_end()) {
        return failure_at_end<void>(kEofObject);
    }
    return failure_at<void>(kExpectedColon, index_ + 1);
}

Result<void, JsonError> Reader::close_record_array() {
    int next = peek();
    if (next == ']') {
        ++index_;
        return {};
    }
    if (next == kEnd) {
        return failure_at_end<void>(kEofList);
    }
    if (next == ',') {
        ++index_;
        next = peek();
        if (next == ']') {
            return failure_at<void>(kTrailingComma, index_ + 1);
        }
        if (next == kEnd) {
            return failure_at_end<void>(kTrailingCharacters);
        }
    }
    return failure_at<void>(kTrailingCharacters, index_ + 1);
}

void Reader::consume_if_next(char closer) noexcept {
    if (peek() == static_cast<unsigned char>(closer)) {
        ++index_;
    }
}

Result<void, JsonError> Reader::finish() {
    if (peek() != kEnd) {
        return failure_at<void>(kTrailingCharacters, index_ + 1);
    }
    return {};
}

Result<char, JsonError> Reader::read_literal() {
    const char first = text_[index_];
    const std::string_view word = first == 't' ? "true" : first == 'f' ? "false" : "null";
    for (const char letter : word) {
        if (index_ == text_.size()) {
            return failure_at_end<char>(kEofValue);
        }
        if (text_[index_] != letter) {
            return failure_at<char>(kExpectedIdent, index_ + 1);
        }
        ++index_;
    }
    return first;
}

// Grammar only: no value and no range, so 1e999 passes. Where a digit is
// required the end of the text is an invalid number too.
Result<void, JsonError> Reader::skip_number() {
    const std::size_t size = text_.size();
    const auto require_digit = [&]() -> Result<void, JsonError> {
        if (index_ == size) {
            return failure_at_end<void>(kInvalidNumber);
        }
        if (!is_digit(text_[index_])) {
            return failure_at<void>(kInvalidNumber, index_ + 1);
        }
        return {};
    };
    const auto skip_digits = [&] {
        while (index_ < size && is_digit(text_[index_])) {
            ++index_;
        }
    };
    if (text_[index_] == '-') {
        ++index_;
        if (auto digit = require_digit(); !digit) {
            return digit;
        }
    }
    if (text_[index_] == '0') {
        ++index_;
        if (index_ < size && is_digit(text_[index_])) {
            return failure_at<void>(kInvalidNumber, index_ + 1);
        }
    } else {
        skip_digits();
    }
    if (index_ < size && text_[index_] == '.') {
        ++index_;
        if (auto digit = require_digit(); !digit) {
            return digit;
        }
        skip_digits();
    }
    if (index_ < size && (text_[index_] == 'e' || text_[index_] == 'E')) {
        ++index_;
        if (index_ < size && (text_[index_] == '+' || text_[index_] == '-')) {
            ++index_;
        }
        if (auto digit = require_digit(); !digit) {
            return digit;
        }
        skip_digits();
    }
    return {};
}

// The open brackets live in the scratch buffer, one byte each, so depth costs
// heap, never native stack.
Result<void, JsonError> Reader::skip_value() {
    std::string& open = scratch_;
    open.clear();
    int next = 0;
value:
    next = peek();
    switch (next) {
    case kEnd:
        return failure_at_end<void>(kEofValue);
    case '"':
        ++index_;
        if (auto skipped = skip_string(); !skipped) {
            return skipped;
        }
        goto after_value;
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
        if (auto skipped = skip_number(); !skipped) {
            return skipped;
        }
        goto after_value;
    case 't':
    case 'f':
    case 'n':
        if (auto literal = read_literal(); !literal) {
            return fail(std::move(literal).error());
        }
        goto after_value;
    case '[':
        ++index_;
        next = peek();
        if (next == ']') {
            ++index_;
            goto after_value;
        }
        if (next == kEnd) {
            return failure_at_end<void>(kEofList);
        }
        open.push_back('[');
        goto value;
    case '{':
        ++index_;
        next = peek();
        if (next == '}') {
            ++index_;
            goto after_value;
        }
        open.push_back('{');
        goto key;
    default:
        return failure_at<void>(kExpectedValue, index_ + 1);
    }
key:  // a key must start here
    next = peek();
    if (next == '"') {
        ++index_;
        if (auto skipped = skip_string(); !skipped) {
            return skipped;
        }
        next = peek();
        if (next == ':') {
            ++index_;
            goto value;
        }
        if (next == kEnd) {
            return failure_at_end<void>(kEofObject);
        }
        return failure_at<void>(kExpectedColon, index_ + 1);
    }
    if (next == kEnd) {
        return failure_at_end<void>(kEofObject);
    }
    return failure_at<void>(kKeyMustBeString, index_ + 1);
after_value:
    if (open.empty()) {
        return {};
    }
    next = peek();
    if (open.back() == '[') {
        if (next == ',') {
            ++index_;
            goto value;
        }
        if (next == ']') {
            ++index_;
            open.pop_back();
            goto after_value;
        }
        if (next == kEnd) {
            return failure_at_end<void>(kEofList);
        }
        return failure_at<void>(kExpectedCommaOrBracket, index_ + 1);
    }
    if (next == ',') {
        ++index_;
        goto key;
    }
    if (next == '}') {
        ++index_;
        open.pop_back();
        goto after_value;
    }
    if (next == kEnd) {
        return failure_at_end<void>(kEofObject);
    }
    return failure_at<void>(kExpectedCommaOrBrace, index_ + 1);
}

[[gnu::cold]] JsonError Reader::unexpected(std::string_view expected) {
    std::string found;
    switch (const int next = peek()) {
    case kEnd:
        return error_at_end(kEofValue);
    case '"': {
        ++index_;
        auto text = read_string();
        if (!text) {
            return std::move(text).error();
        }
        found = "string " + quoted_form(*text);
        break;
    }
    case 't':
    case 'f':
    case 'n': {
        auto literal = read_literal();
        if (!literal) {
            return std::move(literal).error();
        }
        found = *literal == 'n' ? "null" : *literal == 't' ? "boolean `true`" : "boolean `false`";
        break;
    }
    case '[':
        found = "sequence";
        break;
    case '{':
        found = "map";
        break;
    default:
        if (next != '-' && !is_digit(next)) {
            return error_at(kExpectedValue, index_ + 1);
        }
        auto number = read_number();
        if (!number) {
            return std::move(number).error();
        }
        found = describe_number(*number);
        break;
    }
    return error_here("invalid type: " + found + ", expected " + std::string(expected));
}

JsonError Reader::number_error(const Number& number, const char* kind, std::string_view expected) const {
    return error_here(std::string(kind) + describe_number(number) + ", expected " + std::string(expected));
}

[[gnu::cold]] JsonError Reader::invalid_type(const Number& number, std::string_view expected) const {
    return number_error(number, "invalid type: ", expected);
}

[[gnu::cold]] JsonError Reader::invalid_value(const Number& number, std::string_view expected) const {
    return number_error(number, "invalid value: ", expected);
}

}  // namespace qf::json
