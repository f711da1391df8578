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
Result<void, PendingError> bind_arguments(const Signature& signature, PyObject* const* args,
                                          Py_ssize_t positional, PyObject* keyword_names,
                                          PyObject** slots);

// The UTF-8 text of a str (or subclass) argument, copied once.
Result<std::string, PendingError> convert_argument(PyObject* argument, std::string_view parameter);

template <std::size_t N>
Result<std::array<std::string, N>, PendingError> bind_texts(const Signature& signature,
                                                            PyObject* const* args,
                                                            Py_ssize_t positional,
                                                            PyObject* keyword_names) {
    PyObject* slots[N] = {};
    if (auto bound = bind_arguments(signature, args, positional, keyword_names, slots); !bound) {
        return fail(std::move(bound).error());
    }
    std::array<std::string, N> texts;
    for (std::size_t i = 0; i < N; ++i) {
        auto text = convert_argument(slots[i], signature.names[i]);
        if (!text) {
            return fail(std::move(text).error());
        }
        texts[i] = std::move(text).value();
    }
    return texts;
}

}  // namespace qf::py
