#include "arguments.hpp"

#include "text.hpp"

namespace qf::py {

namespace {

PendingError type_error(std::string message) { return PendingError::of(PyExc_TypeError, std::move(message)); }

std::string quoted_list(const Signature& signature, PyObject* const* slots, std::size_t* missing) {
    std::string names;
    *missing = 0;
    for (std::size_t i = 0; i < signature.count; ++i) {
        if (slots[i] != nullptr) {
            continue;
        }
        if (*missing != 0) {
            names += " and ";
        }
        names += '\'';
        names += signature.names[i];
        names += '\'';
        ++*missing;
    }
    return names;
}

// The parameter slot named by a keyword, or -1 when it names none.
Py_ssize_t find_parameter(const Signature& signature, PyObject* keyword) {
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (name == nullptr) {
        PyErr_Clear();
        return -1;
    }
    const std::string_view key(name, static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < signature.count; ++i) {
        if (signature.names[i] == key) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

}  // namespace

Result<void, PendingError> bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t positional,
                                          PyObject* keyword_names, PyObject** slots) {
    const auto count = static_cast<Py_ssize_t>(signature.count);
    for (Py_ssize_t i = 0; i < positional && i < count; ++i) {
        slots[i] = args[i];
    }
    if (positional > count) {
        return fail(type_error(std::string(signature.display_name) + " takes " + std::to_string(count) +
                               " positional arguments but " + std::to_string(positional) +
                               (positional == 1 ? " was" : " were") + " given"));
    }
    const Py_ssize_t keywords = keyword_names != nullptr ? PyTuple_GET_SIZE(keyword_names) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(keyword_names, k);
        const Py_ssize_t slot = find_parameter(signature, keyword);
        if (slot < 0) {
            return fail(type_error(std::string(signature.display_name) + " got an unexpected keyword argument '" +
                                   display_text(keyword) + "'"));
        }
        if (slots[slot] != nullptr) {
            return fail(type_error(std::string(signature.display_name) + " got multiple values for argument '" +
                                   std::string(signature.names[slot]) + "'"));
        }
        slots[slot] = args[positional + k];
    }
    if (positional < count) {
        std::size_t missing = 0;
        const std::string names = quoted_list(signature, slots, &missing);
        if (missing != 0) {
            return fail(type_error(std::string(signature.display_name) + " missing " + std::to_string(missing) +
                                   " required positional " + (missing == 1 ? "argument" : "arguments") + ": " + names));
        }
    }
    return {};
}

namespace {

Result<std::string_view, PendingError> utf8_of(PyObject* argument) {
    if (!PyUnicode_Check(argument)) {
        std::string type_name = "<failed to extract type name>";
        if (Ref name{PyType_GetQualName(Py_TYPE(argument))}) {
            type_name = display_text(name.get());
        } else {
            PyErr_Clear();
        }
        return fail(type_error("'" + type_name + "' object cannot be converted to 'PyString'"));
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(argument, &size);
    if (data == nullptr) {
        return fail(PendingError::fetch());
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}

// A TypeError (exactly) becomes "argument '{name}': {text}", keeping its cause.
PendingError reword(PendingError error, std::string_view parameter) {
    if (!error.is_exactly(PyExc_TypeError)) {
        return error;
    }
    const std::string message = "argument '" + std::string(parameter) + "': " + error.text();
    Ref text(message_str(message));
    Ref reworded(text ? PyObject_CallOneArg(PyExc_TypeError, text.get()) : nullptr);
    if (!reworded) {
        return PendingError::fetch();
    }
    PyException_SetCause(reworded.get(), error.cause().release());
    return PendingError::of_instance(std::move(reworded));
}

}  // namespace

Result<std::string_view, PendingError> convert_argument(PyObject* argument, std::string_view parameter) {
    auto text = utf8_of(argument);
    if (!text) {
        return fail(reword(std::move(text).error(), parameter));
    }
    return text;
}

}  // namespace qf::py
