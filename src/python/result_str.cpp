#include "result_str.hpp"

#include <cstdint>
#include <cstring>

#include "quillforge/invariant.hpp"
#include "quillforge/text/ascii.hpp"
#include "quillforge/text/huge_pages.hpp"
#include "str_from_utf8.hpp"

namespace qf::py {

namespace {

// Lets other threads run Python for as long as it lives, when asked to. Only
// the engine's work and the passes over bytes run inside: every Python object
// they touch is created before or after, with the lock held. The argument
// texts it reads stay valid: the caller holds the argument strs, which are
// immutable, until the call returns.
class LockReleased {
public:
    explicit LockReleased(bool release) noexcept : state_(release ? PyEval_SaveThread() : nullptr) {}
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;
    ~LockReleased() {
        if (state_ != nullptr) {
            PyEval_RestoreThread(state_);
        }
    }

private:
    PyThreadState* state_;
};

// Room on the stack for a result that is not written into a str: a few calls'
// worth of candidates; a larger text moves to the heap once.
constexpr std::size_t kStackRoom = 4096;

// The text in the lent storage is the result when it is ASCII: the str is cut to
// its length (realloc, which does not copy a large block).
NewRefOrError keep_in_place(Ref lent, std::size_t size) {
    PyObject* str = lent.release();
    if (static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)) != size &&
        PyUnicode_Resize(&str, static_cast<Py_ssize_t>(size)) < 0) {
        Py_DECREF(str);
        return fail(PendingError::fetch());
    }
    return str;
}

// A short text: an ASCII one (the usual result) copied once into an exact str,
// anything else through the builder. One character or none goes to CPython,
// which keeps those strs as singletons.
NewRefOrError short_text_to_str(std::string_view text) {
    if (text.size() <= 1 || !text::is_ascii(text)) {
        return text_to_str(text);
    }
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 0x7F);
    if (str == nullptr) {
        return fail(PendingError::fetch());
    }
    std::memcpy(PyUnicode_DATA(str), text.data(), text.size());
    return str;
}

// A large non-ASCII text: the str of its shape, filled with the lock released.
NewRefOrError large_text_to_str(std::string_view text, const utf8::Shape& shape, bool release) {
    Ref str(allocate_str(shape));
    if (!str) {
        if (PyErr_Occurred() != nullptr) {
            return fail(PendingError::fetch());
        }
        return text_to_str(text);
    }
    {
        LockReleased unlocked(release);
        fill_str(str.get(), text, shape, utf8::kernels());
    }
    return str.release();
}

}  // namespace

NewRefOrError text_to_str(std::string_view text) {
    PyObject* result = str_from_utf8(text);
    if (result == nullptr) {
        // Running out of memory for the result is the caller's to handle, as it
        // is for any allocation: raised as it is, not printed.
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            return fail(PendingError::fetch());
        }
        PyErr_Print();
        invariant_failed("Python API call failed");
    }
    return result;
}

NewRefOrError run_to_str(const ResultPlan& plan, Operation operation, void* context) {
    const bool release = plan.input_size >= kReleaseLockFrom;
    if (plan.lend == 0) {
        char stack[kStackRoom];
        json::Output out(stack, sizeof stack);
        Result<void, NarrativeError> written;
        {
            LockReleased unlocked(release);
            written = operation(context, out);
        }
        if (!written) {
            return fail(engine_failure(written.error()));
        }
        return short_text_to_str(out.view());
    }

    // A large result is written straight into the storage of an ASCII str,
    // which becomes the result when the text is ASCII: one allocation, no copy.
    // When the str cannot be had, the text is built apart first, so that the
    // operation's own errors still come before running out of memory.
    Ref lent(PyUnicode_New(static_cast<Py_ssize_t>(plan.lend), 0x7F));
    if (!lent) {
        PyErr_Clear();
    }
    char* const storage = lent ? static_cast<char*>(PyUnicode_DATA(lent.get())) : nullptr;
    json::Output out(storage, lent ? plan.lend : 0);
    Result<void, NarrativeError> written;
    utf8::Shape shape;
    {
        LockReleased unlocked(release);
        text::advise_huge_pages(storage, lent ? plan.lend : 0);
        written = operation(context, out);
        if (written) {
            shape = utf8::kernels().measure(out.view());
        }
    }
    if (!written) {
        return fail(engine_failure(written.error()));
    }
    if (shape.valid && shape.width == utf8::Width::Ascii && out.in_lent_storage()) {
        return keep_in_place(std::move(lent), out.size());
    }
    return large_text_to_str(out.view(), shape, release);
}

}  // namespace qf::py
