// A str's characters as UTF-8, written into storage the caller owns: what
// PyUnicode_AsUTF8AndSize gives, without the copy it keeps inside the str for
// the str's lifetime. No Python needed: the passes read the str's storage.
#pragma once

#include <cstddef>
#include <limits>

namespace qf::py::utf8 {

inline constexpr std::size_t kHasSurrogate = std::numeric_limits<std::size_t>::max();

// The UTF-8 length of `length` characters stored `kind` bytes each (1, 2 or
// 4), or kHasSurrogate when one is a surrogate, which UTF-8 cannot hold.
std::size_t encoded_size(int kind, const void* data, std::size_t length) noexcept;

// Writes them into `out`, which has room for encoded_size() bytes; none may be
// a surrogate.
void encode(int kind, const void* data, std::size_t length, char* out) noexcept;

}  // namespace qf::py::utf8
