// Binding fast-call arguments to named parameters, and converting bound
// arguments to UTF-8 texts.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "pending_error.hpp"
#include "quillforge/result.hpp"

namespace qf::py {

// Every parameter is positional-or-keyword and required.
struct Signature {
    std::string_view display_name;  // "create_block_json()"
    const std::string_view* names;
    std::size_t count;
};

// Fills `slots` (one borrowed reference per parameter) or reports the binding
// error with its TypeError text.
Result<void, PendingError> bind_arguments(const Signature& signature, PyObject* const* args,
                                          Py_ssize_t positional, PyObject* keyword_names,
                                          PyObject** slots);

// The UTF-8 form of a str (or subclass) argument, owned by the str; the
// conversion errors come re-worded.
Result<std::string_view, PendingError> convert_argument(PyObject* argument, std::string_view parameter);

// An owned copy of an argument's text that keeps a short text inline, so that a
// small call allocates nothing for its arguments; a large one asks for huge pages.
class OwnedText {
public:
    OwnedText() = default;
    OwnedText(const OwnedText&) = delete;
    OwnedText& operator=(const OwnedText&) = delete;

    void assign(std::string_view text);
    std::string_view view() const noexcept { return {heap_ ? heap_.get() : inline_, size_}; }

private:
    static constexpr std::size_t kInline = 256;
    std::size_t size_ = 0;
    std::unique_ptr<char[]> heap_;
    char inline_[kInline];
};

// Binds the arguments and copies each text once into `texts` (std::string for
// texts handed on, OwnedText for texts lent).
template <class Text, std::size_t N>
Result<void, PendingError> bind_texts(const Signature& signature, PyObject* const* args, Py_ssize_t positional,
                                      PyObject* keyword_names, std::array<Text, N>& texts) {
    PyObject* slots[N] = {};
    if (auto bound = bind_arguments(signature, args, positional, keyword_names, slots); !bound) {
        return bound;
    }
    for (std::size_t i = 0; i < N; ++i) {
        auto text = convert_argument(slots[i], signature.names[i]);
        if (!text) {
            return fail(std::move(text).error());
        }
        texts[i].assign(*text);
    }
    return {};
}

}  // namespace qf::py
