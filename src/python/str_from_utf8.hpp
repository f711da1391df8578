// The str of a result: what PyUnicode_FromStringAndSize gives (same kind, same
// characters, the same error for bytes that are not UTF-8), built in two passes
// over the text instead of a decoder that widens its buffer as it goes.
#pragma once

#include <cstddef>
#include <string_view>

#include "py_ref.hpp"
#include "utf8_transcode.hpp"

namespace qf::py {

// Texts shorter than this go to CPython's own decoder. In a hot loop the two
// passes win from about 64 bytes (bench/str_from_utf8.py: 1.5x at 1 KB of
// ASCII, 1.9x of mixed text), but below 1 KB a call saves less than 100 ns,
// which a cache-cold call into the two passes can cost (CPython's decoder is
// always warm).
inline constexpr std::size_t kStrFromUtf8Threshold = 1024;

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
