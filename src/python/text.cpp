#include "text.hpp"

namespace qf::py {

namespace {

std::string utf8_of(PyObject* str) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(str, &size)) {
        return std::string(data, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    // Lone surrogates: encode them as they are, then decode with one U+FFFD
    // per maximal invalid subpart.
    Ref bytes(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    if (!bytes) {
        PyErr_Clear();
        return {};
    }
    Ref replaced(PyUnicode_DecodeUTF8(PyBytes_AsString(bytes.get()), PyBytes_Size(bytes.get()), "replace"));
    if (!replaced || !(PyUnicode_AsUTF8AndSize(replaced.get(), &size))) {
        PyErr_Clear();
        return {};
    }
    return std::string(PyUnicode_AsUTF8AndSize(replaced.get(), &size), static_cast<std::size_t>(size));
}

}  // namespace

std::string display_text(PyObject* object) {
    Ref str(PyObject_Str(object));
    if (!str) {
        PyErr_WriteUnraisable(object);
        Ref name(PyType_GetName(Py_TYPE(object)));
        if (!name) {
            PyErr_Clear();
            return "<unprintable object>";
        }
        return "<unprintable " + utf8_of(name.get()) + " object>";
    }
    return utf8_of(str.get());
}

}  // namespace qf::py
