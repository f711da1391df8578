// A Python error held as a value until the call returns to the interpreter:
// either a type with its message, built into an instance only when raised, or
// an instance fetched from the interpreter.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "py_ref.hpp"

namespace qf::py {

// What a ValueError from the engine carries beside its message, set as the
// attributes `kind`, `input`, `line` and `column` of the raised instance.
struct FailureData {
    const char* kind;
    const char* input;
    std::uint64_t line;  // 0: no position, both attributes None
    std::uint64_t column;
};

class PendingError {
public:
    // `type` is a built-in exception type, borrowed.
    static PendingError of(PyObject* type, std::string message);
    static PendingError of(PyObject* type, std::string message, const FailureData& data);
    // Takes over the interpreter's current exception, or a SystemError when
    // none is set.
    static PendingError fetch();
    static PendingError of_instance(Ref instance);

    // True when the error's type is exactly `type`, subclasses excluded.
    bool is_exactly(PyObject* type) const;
    // The error's text, as str() of the exception would give it.
    std::string text() const;
    // The exception's __cause__ (a new reference, or null).
    Ref cause() const;

    // Sets the interpreter's error indicator from this error.
    void raise() &&;

private:
    PyObject* type_ = nullptr;
    std::string message_;
    std::optional<FailureData> data_;
    Ref instance_;
};

}  // namespace qf::py
