// Binding fast-call arguments to named parameters, and converting bound
// arguments to UTF-8 texts.
#pragma once

#include <array>
#include <cstddef>
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

// The UTF-8 form of a str (or subclass) argument, owned by the str; the
// conversion errors come re-worded.
Result<std::string_view, PendingError> convert_argument(PyObject* argument, std::string_view parameter);

// Binds the arguments and stores each text in `texts`: a std::string takes a
// copy (for texts handed on, which the engine keeps), a std::string_view
// borrows the str's own UTF-8 buffer (for texts lent to the engine for the
// call: the interpreter holds the argument, immutable, until the call returns,
// so a copy would buy nothing but a fresh buffer's page faults).
template <class Text, std::size_t N>
Result<void, PendingError> bind_texts(const Signature& signature, PyObject* const* args, Py_ssize_t positional,
                                      PyObject* keyword_names, std::array<Text, N>& texts) {
    PyObject* slots[N] = {};
    if (auto bound = bind_arguments(signature, args, positional, keyword_names, slots); !bound) {
        return bound;
    }
    for (std::size_t i = 0; i < N; ++i) {
        // An ASCII str holds its UTF-8 text already: the usual argument costs a
        // test and two loads.
        if (PyUnicode_Check(slots[i]) && PyUnicode_IS_COMPACT_ASCII(slots[i])) {
            texts[i] = Text(std::string_view(static_cast<const char*>(PyUnicode_DATA(slots[i])),
                                             static_cast<std::size_t>(PyUnicode_GET_LENGTH(slots[i]))));
            continue;
        }
        auto text = convert_argument(slots[i], signature.names[i]);
        if (!text) {
            return fail(std::move(text).error());
        }
        texts[i] = Text(*text);
    }
    return {};
}

}  // namespace qf::py
