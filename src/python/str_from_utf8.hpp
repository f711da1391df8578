// The str of a result: what PyUnicode_FromStringAndSize gives (same kind, same
// characters, the same error for bytes that are not UTF-8), built in two passes
// over the text instead of a decoder that widens its buffer as it goes.
#pragma once

#include <cstddef>
#include <string_view>

#include "py_ref.hpp"
#include "quillforge/text/transcode.hpp"

namespace qf::py {

namespace utf8 = text::utf8;

// Texts shorter than this go to CPython's own decoder. Timed in a hot loop
// (bench/str_from_utf8.py), the two passes win from about 64 bytes, by 1.7x
// at 1 KB of ASCII and 1.9x of mixed text, 2x and more from 2 KB up. Below
// 1 KB a call saves a few hundred nanoseconds at most, and only in that best
// case for the two passes (their code and branches warm), so short results
// stay on the decoder that CPython itself keeps using.
inline constexpr std::size_t kStrFromUtf8Threshold = 1024;

// A new str, or null with the error set.
PyObject* str_from_utf8(std::string_view utf8);

// The two passes apart, for a caller that lets other threads run while they
// work: measure() and fill_str() need no interpreter lock, allocate_str()
// does. allocate_str() refuses (returns null, nothing set) a shape that only CPython's
// decoder gives the right str for: malformed text, and texts of one character
// or none (CPython's singletons).
PyObject* allocate_str(const utf8::Shape& shape);
void fill_str(PyObject* str, std::string_view utf8, const utf8::Shape& shape, const utf8::Kernels& kernels);

namespace detail {
// The two-pass build at any size, with the given implementation: one pass
// validates and measures, PyUnicode_New allocates exactly once (huge pages
// advised on its storage before the first write), the other pass fills it.
// Malformed text, the empty text and single characters go to CPython.
PyObject* build_str(std::string_view utf8, const utf8::Kernels& kernels);
}  // namespace detail

}  // namespace qf::py
