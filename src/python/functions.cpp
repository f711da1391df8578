// The Python-visible functions: bind, convert, run the operation, hand back a
// str or the mapped error.
#include "functions.hpp"

#include <string>

#include "arguments.hpp"
#include "boundary.hpp"
#include "quillforge/engine.hpp"
#include "quillforge/invariant.hpp"
#include "quillforge/version.hpp"
#include "str_from_utf8.hpp"

namespace qf::py {

namespace {

// An engine error becomes a ValueError carrying its display text.
PendingError map_error(NarrativeError error) { return PendingError::of(PyExc_ValueError, error.display()); }

NewRefOrError to_str(std::string_view text) {
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

NewRefOrError str_or_error(Result<std::string, NarrativeError> result) {
    if (!result) {
        return fail(map_error(std::move(result).error()));
    }
    return to_str(*result);
}

constexpr std::string_view kBlockParams[] = {"id", "content"};
constexpr Signature kCreateBlock{"create_block_json()", kBlockParams, 2};

PyObject* create_block_json(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return call_boundary([&]() -> NewRefOrError {
        std::array<std::string, 2> texts;
        if (auto bound = bind_texts(kCreateBlock, args, PyVectorcall_NARGS(nargsf), kwnames, texts); !bound) {
            return fail(std::move(bound).error());
        }
        auto& [id, content] = texts;
        return str_or_error(qf::create_block_json(std::move(id), std::move(content)));
    });
}

constexpr std::string_view kCandidateParams[] = {"lore_json", "config_json"};
constexpr Signature kGenerateCandidate{"generate_candidate_json()", kCandidateParams, 2};

// The operation borrows the arguments' UTF-8 texts for the call.
PyObject* generate_candidate_json(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return call_boundary([&]() -> NewRefOrError {
        std::array<std::string_view, 2> texts;
        if (auto bound = bind_texts(kGenerateCandidate, args, PyVectorcall_NARGS(nargsf), kwnames, texts); !bound) {
            return fail(std::move(bound).error());
        }
        return str_or_error(qf::generate_candidate_json(texts[0], texts[1]));
    });
}

constexpr std::string_view kSummaryParams[] = {"lore_json"};
constexpr Signature kRenderLoreSummary{"render_lore_summary_json()", kSummaryParams, 1};

PyObject* render_lore_summary_json(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return call_boundary([&]() -> NewRefOrError {
        std::array<std::string_view, 1> texts;
        if (auto bound = bind_texts(kRenderLoreSummary, args, PyVectorcall_NARGS(nargsf), kwnames, texts); !bound) {
            return fail(std::move(bound).error());
        }
        return str_or_error(qf::render_lore_summary_json(texts[0]));
    });
}

PyObject* schema_bundle_json(PyObject*, PyObject*) {
    return call_boundary([]() -> NewRefOrError { return str_or_error(qf::schema_bundle_json()); });
}

PyObject* version(PyObject*, PyObject*) {
    return call_boundary([]() -> NewRefOrError { return to_str(kVersion); });
}

template <class Function>
PyCFunction as_cfunction(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef g_methods[] = {
    {"create_block_json",
     as_cfunction(create_block_json),
     METH_FASTCALL | METH_KEYWORDS,
     "create_block_json(id, content)\n--\n\n"},
    {"generate_candidate_json",
     as_cfunction(generate_candidate_json),
     METH_FASTCALL | METH_KEYWORDS,
     "generate_candidate_json(lore_json, config_json)\n--\n\n"},
    {"render_lore_summary_json",
     as_cfunction(render_lore_summary_json),
     METH_FASTCALL | METH_KEYWORDS,
     "render_lore_summary_json(lore_json)\n--\n\n"},
    {"schema_bundle_json", as_cfunction(schema_bundle_json), METH_NOARGS, "schema_bundle_json()\n--\n\n"},
    {"version", as_cfunction(version), METH_NOARGS, "version()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

std::span<PyMethodDef> method_table() { return std::span(g_methods).first(std::size(g_methods) - 1); }

}  // namespace qf::py
