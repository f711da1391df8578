#include "pending_error.hpp"

#include "text.hpp"

namespace qf::py {

PendingError PendingError::of(PyObject* type, std::string message) {
    PendingError error;
    error.type_ = type;
    error.message_ = std::move(message);
    return error;
}

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
    if (value) {
        PyErr_SetObject(type_, value.get());
    }
    // Otherwise the failed creation has left its MemoryError set.
}

}  // namespace qf::py
