// The extension module quillforge._lines: a block of JSON Lines bytes and a
// configuration in; the candidates' bytes (or, written into a buffer the
// caller gives, their size), the block's line count, the number of candidates
// and the failed lines out. The engine works on the whole block with the interpreter
// lock released, so blocks run in parallel on threads.
#include <cstddef>
#include <optional>
#include <vector>

#include "boundary.hpp"
#include "quillforge/json/output.hpp"
#include "quillforge/lines.hpp"
#include "text.hpp"
#include "unraisable_hook.hpp"

namespace qf::py {

namespace {

// The interpreter lock, released for a scope; taken back however it ends.
class LockReleased {
public:
    LockReleased() noexcept : state_(PyEval_SaveThread()) {}
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;
    ~LockReleased() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

// A buffer taken by "y*", given back at the end of the call. While it is held
// its exporter cannot resize it (a bytearray refuses), so the engine may read
// it with the lock released.
class HeldBuffer {
public:
    explicit HeldBuffer(Py_buffer& view) noexcept : view_(view) {}
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() { PyBuffer_Release(&view_); }

private:
    Py_buffer& view_;
};

// Room for the usual output: a candidate is a little longer than its lore,
// when the lore is small.
std::size_t output_estimate(std::size_t block_size) { return block_size + block_size / 4 + 4096; }

// Each thread writes its blocks' outputs into storage that it keeps from one
// block to the next, so that they land on pages already mapped. Storage freed
// after each block would not do: malloc hands blocks this large back to the
// system, and every page of the next block's output would be faulted in again
// (a third of the CPU time of a block of small lores, most of it in the
// kernel). Storage grown past this is
// given back after its block, so that one huge line does not stay in memory.
constexpr std::size_t kKeptOutputBytes = 8 << 20;

thread_local std::optional<json::Output> t_output;

// The thread's storage, empty; given back at the end of the call when it grew too large.
class ThreadOutput {
public:
    ThreadOutput() {
        if (!t_output) {
            t_output.emplace();
        }
        t_output->shrink_to(0);
    }
    ThreadOutput(const ThreadOutput&) = delete;
    ThreadOutput& operator=(const ThreadOutput&) = delete;
    ~ThreadOutput() {
        if (t_output->capacity() > kKeptOutputBytes) {
            t_output.reset();
        }
    }
    json::Output& get() const noexcept { return *t_output; }
};

// A failed line: a (line, message) tuple, with the failure's kind and column
// as attributes beside it, so that code that unpacks pairs is unchanged.
PyStructSequence_Field g_failure_fields[] = {
    {"line", "the line's number"},
    {"message", "the message, as the engine or the UTF-8 test gives it"},
    {"kind", "'serialization', 'validation', or 'encoding' for a line that is not UTF-8"},
    {"column", "the error's column in the line, or the bad byte's offset; None for a broken rule"},
    {nullptr, nullptr},
};

PyStructSequence_Desc g_failure_desc = {
    "quillforge._lines.LineFailure",
    "A line that gave no candidate: (line, message), with kind and column.",
    g_failure_fields,
    2,
};

PyTypeObject* g_failure_type = nullptr;  // created with the module, kept for the process

const char* kind_name(LineFailure::Kind kind) {
    switch (kind) {
    case LineFailure::Kind::Validation:
        return "validation";
    case LineFailure::Kind::Encoding:
        return "encoding";
    case LineFailure::Kind::Serialization:
        break;
    }
    return "serialization";
}

// Built only for failed lines: the lines that give candidates never come here.
NewRefOrError failures_list(const std::vector<LineFailure>& failures, Py_ssize_t first_line) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(failures.size())));
    if (!list) {
        return fail(PendingError::fetch());
    }
    for (std::size_t i = 0; i < failures.size(); ++i) {
        const LineFailure& failure = failures[i];
        Ref item(PyStructSequence_New(g_failure_type));
        Ref line(PyLong_FromSsize_t(first_line + static_cast<Py_ssize_t>(failure.index)));
        Ref message(message_str(failure.message));
        Ref kind(PyUnicode_InternFromString(kind_name(failure.kind)));
        Ref column(failure.column >= 0 ? PyLong_FromLongLong(failure.column) : Py_NewRef(Py_None));
        if (!item || !line || !message || !kind || !column) {
            return fail(PendingError::fetch());
        }
        PyStructSequence_SetItem(item.get(), 0, line.release());  // each steals its reference
        PyStructSequence_SetItem(item.get(), 1, message.release());
        PyStructSequence_SetItem(item.get(), 2, kind.release());
        PyStructSequence_SetItem(item.get(), 3, column.release());
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list.release();
}

// The output's bytes, copied from `out`; or, when `out` still writes into the
// caller's buffer, the number of bytes written there.
NewRefOrError output_object(const json::Output& out) {
    PyObject* output = out.in_lent_storage()
                           ? PyLong_FromSsize_t(static_cast<Py_ssize_t>(out.size()))
                           : PyBytes_FromStringAndSize(out.view().data(), static_cast<Py_ssize_t>(out.size()));
    return output != nullptr ? NewRefOrError(output) : fail(PendingError::fetch());
}

PyObject* generate_candidates(PyObject*, PyObject* args, PyObject* kwargs) {
    return call_boundary([&]() -> NewRefOrError {
        static const char* keywords[] = {"block", "config_json", "first_line", "stop_at_failure", "into", nullptr};
        Py_buffer view;
        PyObject* into_object = Py_None;
        Py_buffer into{};  // its obj stays null when no buffer is given
        const char* config = nullptr;
        Py_ssize_t config_size = 0;
        Py_ssize_t first_line = 1;
        int stop_at_failure = 0;
        if (!PyArg_ParseTupleAndKeywords(args,
                                         kwargs,
                                         "y*s#|$npO:generate_candidates",
                                         const_cast<char**>(keywords),
                                         &view,
                                         &config,
                                         &config_size,
                                         &first_line,
                                         &stop_at_failure,
                                         &into_object)) {
            return fail(PendingError::fetch());
        }
        const HeldBuffer held(view);
        if (into_object != Py_None && PyObject_GetBuffer(into_object, &into, PyBUF_WRITABLE) < 0) {
            return fail(PendingError::fetch());
        }
        const HeldBuffer held_into(into);  // releasing one not taken does nothing
        auto lines = CandidateLines::make({config, static_cast<std::size_t>(config_size)});
        if (!lines) {
            return fail(engine_failure(lines.error()));
        }
        const std::string_view block(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
        std::vector<LineFailure> failures;
        LinesRead read;
        NewRefOrError output = nullptr;
        if (into.obj != nullptr) {
            // Straight into the caller's buffer, which the caller keeps from one
            // block to the next: no copy, no fresh pages. An output that
            // outgrows it moves to storage of its own and comes back as bytes.
            json::Output out(static_cast<char*>(into.buf), static_cast<std::size_t>(into.len));
            {
                const LockReleased released;
                read = lines->answer(block, out, failures, stop_at_failure != 0);
            }
            output = output_object(out);
        } else {
            // The output is written into the thread's kept storage, then copied
            // into the bytes object. Writing it straight into a bytes object sized
            // for the worst case costs more: shrinking that bytes object (a
            // realloc of an mmap'd block) keeps malloc from reusing the memory, so
            // every block's output would land on fresh pages.
            const ThreadOutput kept;
            json::Output& out = kept.get();
            {
                const LockReleased released;
                out.reserve(output_estimate(block.size()));
                read = lines->answer(block, out, failures, stop_at_failure != 0);
            }
            output = output_object(out);
        }
        if (!output) {
            return output;
        }
        Ref output_ref(*output);
        auto failed = failures_list(failures, first_line);
        if (!failed) {
            return failed;
        }
        Ref failed_list(*failed);
        PyObject* result = Py_BuildValue("(OnnO)",
                                         output_ref.get(),
                                         static_cast<Py_ssize_t>(read.lines),
                                         static_cast<Py_ssize_t>(read.written),
                                         failed_list.get());
        return result != nullptr ? NewRefOrError(result) : fail(PendingError::fetch());
    });
}

PyMethodDef g_methods[] = {
    {"generate_candidates",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(generate_candidates)),
     METH_VARARGS | METH_KEYWORDS,
     "generate_candidates(block, config_json, *, first_line=1, stop_at_failure=False, into=None)\n--\n\n"},
    {"unraisable_hook", unraisable_hook, METH_O, "unraisable_hook(unraisable, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "_lines",
    "",
    0,
    g_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

NewRefOrError initialise() {
    Ref module(PyModule_Create(&g_definition));
    if (!module) {
        return fail(PendingError::fetch());
    }
    Ref all(Py_BuildValue("[s]", "generate_candidates"));
    if (!all || PyObject_SetAttrString(module.get(), "__all__", all.get()) < 0) {
        return fail(PendingError::fetch());
    }
    if (g_failure_type == nullptr) {
        g_failure_type = PyStructSequence_NewType(&g_failure_desc);
    }
    if (g_failure_type == nullptr ||
        PyModule_AddObjectRef(module.get(), "LineFailure", reinterpret_cast<PyObject*>(g_failure_type)) < 0) {
        return fail(PendingError::fetch());
    }
    return module.release();
}

}  // namespace

}  // namespace qf::py

PyMODINIT_FUNC PyInit__lines() { return qf::py::call_boundary(qf::py::initialise); }
