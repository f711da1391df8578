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
Result<void, PendingError> bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t positional,
                                          PyObject* keyword_names, PyObject** slots);

// An argument's UTF-8 text for the duration of a call. The interpreter holds
// the argument, immutable, until the call returns, so the text of an ASCII str,
// or the copy CPython keeps inside a small non-ASCII one, is borrowed; a large
// non-ASCII str is encoded into storage of the call's own instead, so that the
// call does not leave a copy of its text inside the caller's str for the str's
// lifetime (up to twice the str's own size).
class ArgumentText {
public:
    ArgumentText() = default;
    explicit ArgumentText(std::string_view borrowed) noexcept : view_(borrowed) {}
    ArgumentText(std::unique_ptr<char[]> owned, std::size_t size) noexcept
        : view_(owned.get(), size), owned_(std::move(owned)) {}

    std::string_view view() const noexcept { return view_; }

private:
    std::string_view view_;
    std::unique_ptr<char[]> owned_;
};

// Non-ASCII strs of this many characters or more are encoded for each call.
inline constexpr Py_ssize_t kEncodeFrom = 64 << 10;

// The UTF-8 text of a str (or subclass) argument; the conversion errors come
// re-worded.
Result<ArgumentText, PendingError> convert_argument(PyObject* argument, std::string_view parameter);

// Binds the arguments and stores each one's text in `texts`.
template <std::size_t N>
Result<void, PendingError> bind_texts(const Signature& signature, PyObject* const* args, Py_ssize_t positional,
                                      PyObject* keyword_names, std::array<ArgumentText, N>& texts) {
    PyObject* slots[N] = {};
    if (auto bound = bind_arguments(signature, args, positional, keyword_names, slots); !bound) {
        return bound;
    }
    for (std::size_t i = 0; i < N; ++i) {
        // An ASCII str holds its UTF-8 text already: the usual argument costs a
        // test and two loads.
        if (PyUnicode_Check(slots[i]) && PyUnicode_IS_COMPACT_ASCII(slots[i])) {
            texts[i] = ArgumentText(std::string_view(static_cast<const char*>(PyUnicode_DATA(slots[i])),
                                                     static_cast<std::size_t>(PyUnicode_GET_LENGTH(slots[i]))));
            continue;
        }
        auto text = convert_argument(slots[i], signature.names[i]);
        if (!text) {
            return fail(std::move(text).error());
        }
        texts[i] = std::move(text).value();
    }
    return {};
}

}  // namespace qf::py
