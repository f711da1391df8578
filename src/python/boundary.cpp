#include "boundary.hpp"

#include <cstdio>
#include <cstdlib>

#include "text.hpp"

namespace qf::py {

namespace {

constexpr const char kPanicDoc[] =
    "\n"
    "Raised when the native code called from Python panics.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
static_assert(sizeof kPanicDoc - 1 == 235, "the docstring is 235 characters");

constexpr const char kNoMessage[] = "native code panicked without a message";

PyObject* g_panic_type = nullptr;

}  // namespace

PendingError engine_failure(const NarrativeError& error) {
    const FailureData data{
        NarrativeError::name(error.kind()), NarrativeError::name(error.input()), error.line(), error.column()};
    return PendingError::of(PyExc_ValueError, error.display(), data);
}

PyObject* panic_exception_type() {
    if (g_panic_type == nullptr) {
        g_panic_type =
            PyErr_NewExceptionWithDoc("quillforge._native.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
    }
    return g_panic_type;
}

void abort_at_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
}

void raise_panic(const char* message) noexcept {
    try {
        PyObject* type = panic_exception_type();
        Ref text(message_str(message != nullptr ? message : kNoMessage));
        Ref args(text ? PyTuple_Pack(1, text.get()) : nullptr);
        if (type == nullptr || !args) {
            abort_at_boundary();
        }
        PyErr_SetObject(type, args.get());
    } catch (...) {
        abort_at_boundary();
    }
}

void raise_out_of_memory() noexcept { PyErr_NoMemory(); }

}  // namespace qf::py
