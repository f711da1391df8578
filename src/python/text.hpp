// Python strings to and from UTF-8.
#pragma once

#include <string>
#include <string_view>

#include "py_ref.hpp"

namespace qf::py {

// str(object) as UTF-8 for a message: a lone surrogate shows as U+FFFD
// replacements; an object whose str() fails shows as "<unprintable ... object>".
std::string display_text(PyObject* object);

// The str of a short text such as a message, by CPython's own decoder; null
// with the error set.
inline PyObject* message_str(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace qf::py
