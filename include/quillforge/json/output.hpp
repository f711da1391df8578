// Where the writer puts text: one contiguous run of bytes with room to grow.
//
// By default an Output keeps its text in storage of its own. A caller can lend
// it storage instead (the Python binding lends the storage of the str that will
// hold the result, so that the text is written once, in place); a text that
// outgrows the loan moves once into storage of its own and goes on there.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace qf::json {

class Output {
public:
    Output() noexcept = default;
    // Writes into [lent, lent + capacity) until that is full; the caller keeps
    // the storage alive and reads the text back through in_lent_storage().
    Output(char* lent, std::size_t capacity) noexcept : begin_(lent), cursor_(lent), end_(lent + capacity) {}
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output();

    void append(const char* data, std::size_t size) {
        if (static_cast<std::size_t>(end_ - cursor_) < size) [[unlikely]] {
            grow(size);
        }
        if (size != 0) {
            std::memcpy(cursor_, data, size);
            cursor_ += size;
        }
    }
    void append(std::string_view text) { append(text.data(), text.size()); }
    void push_back(char c) {
        if (cursor_ == end_) [[unlikely]] {
            grow(1);
        }
        *cursor_++ = c;
    }

    // Room for `size` more bytes at the end, for a writer that fills them
    // itself and then calls advance_to() with where it stopped.
    char* room(std::size_t size) {
        if (static_cast<std::size_t>(end_ - cursor_) < size) [[unlikely]] {
            grow(size);
        }
        return cursor_;
    }
    void advance_to(char* end) noexcept { cursor_ = end; }

    // Drops the bytes past `size`: a failed line's partial candidate, a kept
    // buffer emptied for the next block.
    void shrink_to(std::size_t size) noexcept { cursor_ = begin_ + size; }
    // Room for `size` bytes in all, so that the text does not move while it grows to it.
    void reserve(std::size_t size);

    std::size_t size() const noexcept { return static_cast<std::size_t>(cursor_ - begin_); }
    std::size_t capacity() const noexcept { return static_cast<std::size_t>(end_ - begin_); }
    std::string_view view() const noexcept { return {begin_, size()}; }
    // True while the text is still in the storage the caller lent.
    bool in_lent_storage() const noexcept { return owned_ == nullptr && begin_ != nullptr; }
    std::string to_string() const { return std::string(view()); }

private:
    // Out of line and cold: most texts fit the room they were given.
    [[gnu::cold, gnu::noinline]] void grow(std::size_t more);

    char* begin_ = nullptr;
    char* cursor_ = nullptr;
    char* end_ = nullptr;
    char* owned_ = nullptr;  // the storage of its own (malloc'd), once it has one
};

// What the writer functions write to: an Output, or a std::string for the
// short texts of messages.
template <class Text>
concept TextBuffer = requires(Text& text, const char* data, std::size_t size, char c) {
    text.append(data, size);
    text.push_back(c);
};

}  // namespace qf::json
