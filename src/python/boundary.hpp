// The call boundary around every native entry point: a pending error is
// raised, an internal failure becomes a PanicException, and nothing else
// unwinds into the interpreter.
#pragma once

#include <exception>
#include <new>

#include "pending_error.hpp"
#include "quillforge/error.hpp"
#include "quillforge/result.hpp"

namespace qf::py {

using NewRefOrError = Result<PyObject*, PendingError>;  // a new reference on success

// The engine's error as Python sees it: a ValueError with the engine's text,
// and its kind, input, line and column as attributes.
PendingError engine_failure(const NarrativeError& error);

// The PanicException type, created on first use; null if that fails.
PyObject* panic_exception_type();

// Raise helpers used by call_boundary; they stop the process when raising
// itself fails.
void raise_panic(const char* message) noexcept;
void raise_out_of_memory() noexcept;
[[noreturn]] void abort_at_boundary() noexcept;

template <class Body>
PyObject* call_boundary(Body&& body) noexcept {
    try {
        NewRefOrError result = body();
        if (result) {
            return *result;
        }
        std::move(result).error().raise();
        return nullptr;
    } catch (const std::bad_alloc&) {
        raise_out_of_memory();
    } catch (const std::exception& failure) {
        raise_panic(failure.what());
    } catch (...) {
        raise_panic(nullptr);
    }
    return nullptr;
}

}  // namespace qf::py
