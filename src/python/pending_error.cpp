#include "pending_error.hpp"

#include "text.hpp"

namespace qf::py {

PendingError PendingError::of(PyObject* type, std::string message) {
    PendingError error;
    error.type_ = type;
    error.message_ = std::move(message);
    return error;
}

PendingError PendingError::of(PyObject* type, std::string message, const FailureData& data) {
    PendingError error = of(type, std::move(message));
    error.data_ = data;
    return error;
}

namespace {

// The instance of `type` for `message`, with the data as attributes; null with
// the interpreter's error set when any step fails.
PyObject* instance_with(PyObject* type, PyObject* message, const FailureData& data) {
    Ref instance(PyObject_CallOneArg(type, message));
    if (!instance) {
        return nullptr;
    }
    const bool placed = data.line != 0;
    Ref kind(PyUnicode_InternFromString(data.kind));
    Ref input(kind ? PyUnicode_InternFromString(data.input) : nullptr);
    Ref line(input && placed ? PyLong_FromUnsignedLongLong(data.line) : Py_NewRef(Py_None));
    Ref column(input && placed ? PyLong_FromUnsignedLongLong(data.column) : Py_NewRef(Py_None));
    if (!input || !line || !column || PyObject_SetAttrString(instance.get(), "kind", kind.get()) < 0 ||
        PyObject_SetAttrString(instance.get(), "input", input.get()) < 0 ||
        PyObject_SetAttrString(instance.get(), "line", line.get()) < 0 ||
        PyObject_SetAttrString(instance.get(), "column", column.get()) < 0) {
        return nullptr;
    }
    return instance.release();
}

}  // namespace

PendingError PendingError::fetch() {
    Ref instance(PyErr_GetRaisedException());
    if (!instance) {
        return of(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return of_instance(std::move(instance));
}

PendingError PendingError::of_instance(Ref instance) {
    PendingError error;
    error.type_ = reinterpret_cast<PyObject*>(Py_TYPE(instance.get()));
    error.instance_ = std::move(instance);
    return error;
}

bool PendingError::is_exactly(PyObject* type) const { return type_ == type; }

std::string PendingError::text() const { return instance_ ? display_text(instance_.get()) : message_; }

Ref PendingError::cause() const { return instance_ ? Ref(PyException_GetCause(instance_.get())) : Ref(); }

void PendingError::raise() && {
    if (instance_) {
        PyErr_SetRaisedException(instance_.release());
        return;
    }
    Ref value(PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size())));
    if (value && data_) {
        if (PyObject* instance = instance_with(type_, value.get(), *data_)) {
            PyErr_SetRaisedException(instance);
        }
    } else if (value) {
        PyErr_SetObject(type_, value.get());
    }
    // Otherwise the failed step has left its error (a MemoryError) set.
}

}  // namespace qf::py
