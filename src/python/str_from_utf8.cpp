#include "str_from_utf8.hpp"

#include <cstdint>

#include "quillforge/text/huge_pages.hpp"

namespace qf::py {

namespace {

PyObject* cpython_str(std::string_view utf8) {
    return PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size()));
}

// The largest character of each width, which is all PyUnicode_New needs to
// pick the kind.
constexpr Py_UCS4 kMaxChar[] = {0x7F, 0xFF, 0xFFFF, 0x10FFFF};
constexpr std::size_t kSlotSize[] = {1, 1, 2, 4};

}  // namespace

PyObject* str_from_utf8(std::string_view utf8) {
    if (utf8.size() < kStrFromUtf8Threshold) {
        return cpython_str(utf8);
    }
    return detail::build_str(utf8, utf8::kernels());
}

PyObject* detail::build_str(std::string_view utf8, const utf8::Kernels& kernels) {
    // CPython keeps '' and the one-character strings below U+0100 as
    // singletons.
    if (utf8.size() <= 1) {
        return cpython_str(utf8);
    }
    // ASCII text is copied while checked, in one pass, the way CPython's
    // decoder starts too. At the first other byte that copy is dropped and
    // only the rest needs measuring.
    std::size_t ascii = 0;
    {
        Ref str(PyUnicode_New(static_cast<Py_ssize_t>(utf8.size()), 0x7F));
        if (!str) {
            return nullptr;
        }
        char* data = static_cast<char*>(PyUnicode_DATA(str.get()));
        text::advise_huge_pages(data, utf8.size());
        ascii = kernels.copy_ascii(utf8, data);
        if (ascii == utf8.size()) {
            return str.release();
        }
    }
    utf8::Shape shape = kernels.measure(utf8.substr(ascii));
    shape.characters += ascii;
    PyObject* str = allocate_str(shape);
    if (str == nullptr) {
        // Malformed text raises CPython's own UnicodeDecodeError, with its
        // reason and positions; a single character may be a singleton.
        return PyErr_Occurred() != nullptr ? nullptr : cpython_str(utf8);
    }
    fill_str(str, utf8, shape, kernels);
    return str;
}

PyObject* allocate_str(const utf8::Shape& shape) {
    if (!shape.valid || shape.characters <= 1) {
        return nullptr;
    }
    const auto width = static_cast<std::size_t>(shape.width);
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(shape.characters), kMaxChar[width]);
    if (str != nullptr) {
        text::advise_huge_pages(static_cast<const char*>(PyUnicode_DATA(str)), shape.characters * kSlotSize[width]);
    }
    return str;
}

void fill_str(PyObject* str, std::string_view utf8, const utf8::Shape& shape, const utf8::Kernels& kernels) {
    void* data = PyUnicode_DATA(str);
    switch (shape.width) {
    case utf8::Width::Ascii:  // not after a byte above 7F; one byte a character either way
    case utf8::Width::Latin1:
        kernels.to_latin1(utf8, static_cast<std::uint8_t*>(data), shape.characters);
        break;
    case utf8::Width::Ucs2:
        kernels.to_ucs2(utf8, static_cast<std::uint16_t*>(data), shape.characters);
        break;
    case utf8::Width::Ucs4:
        kernels.to_ucs4(utf8, static_cast<std::uint32_t*>(data), shape.characters);
        break;
    }
}

}  // namespace qf::py
