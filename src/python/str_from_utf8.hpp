// The str of a result: what PyUnicode_FromStringAndSize gives (same kind, same
// characters, the same error for bytes that are not UTF-8), built in two passes
// over the text instead of a decoder that widens its buffer as it goes.
#pragma once

#include <cstddef>
#include <string_view>

#include "py_ref.hpp"
#include "utf8_transcode.hpp"

namespace qf::py {

// Below this many bytes CPython's own decoder is as fast (and hands out its
// cached one-character and empty strings); see bench/str_from_utf8.py.
inline constexpr std::size_t kStrFromUtf8Threshold = 4096;

// A new str, or null with the error set.
PyObject* str_from_utf8(std::string_view utf8);

namespace detail {
// The two-pass build at any size, with the given implementation: one pass
// validates and measures, PyUnicode_New allocates exactly once (huge pages
// advised on its storage before the first write), the other pass fills it.
// Malformed text, the empty text and single characters go to CPython.
PyObject* build_str(std::string_view utf8, const utf8::Kernels& kernels);
}  // namespace detail

}  // namespace qf::py
