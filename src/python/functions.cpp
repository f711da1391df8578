// The Python-visible functions: bind, convert, run the operation, hand back a
// str or the mapped error.
#include "functions.hpp"

#include <string>

#include "arguments.hpp"
#include "boundary.hpp"
#include "quillforge/engine.hpp"
#include "quillforge/invariant.hpp"
#include "quillforge/version.hpp"
#include "result_str.hpp"

namespace qf::py {

namespace {

// Results longer than this are written straight into the str that holds them;
// shorter ones go through a buffer on the stack (result_str.cpp).
constexpr std::size_t kLendFrom = 4096;

constexpr std::string_view kBlockParams[] = {"id", "content"};
constexpr Signature kCreateBlock{"create_block_json()", kBlockParams, 2};

// Every operation borrows the arguments' UTF-8 texts for the call: the
// interpreter holds the argument strs, immutable, until the call returns.
PyObject* create_block_json(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return call_boundary([&]() -> NewRefOrError {
        std::array<std::string_view, 2> texts;
        if (auto bound = bind_texts(kCreateBlock, args, PyVectorcall_NARGS(nargsf), kwnames, texts); !bound) {
            return fail(std::move(bound).error());
        }
        // Views rather than a structured binding, which clang before 16 cannot
        // capture in a lambda (the fuzz build uses clang 14).
        const std::string_view id = texts[0];
        const std::string_view content = texts[1];
        // The block's text is its two texts and a few bytes more, unless many
        // of their characters need escapes.
        const std::size_t size = id.size() + content.size();
        const ResultPlan plan{size, size >= kLendFrom ? size + size / 16 + 64 : 0};
        return run_to_str(plan, [&](json::Output& out) { return qf::create_block_json(id, content, out); });
    });
}

constexpr std::string_view kCandidateParams[] = {"lore_json", "config_json"};
constexpr Signature kGenerateCandidate{"generate_candidate_json()", kCandidateParams, 2};

PyObject* generate_candidate_json(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return call_boundary([&]() -> NewRefOrError {
        std::array<std::string_view, 2> texts;
        if (auto bound = bind_texts(kGenerateCandidate, args, PyVectorcall_NARGS(nargsf), kwnames, texts); !bound) {
            return fail(std::move(bound).error());
        }
        const std::string_view lore = texts[0];
        const std::string_view config = texts[1];
        const ResultPlan plan{lore.size() + config.size(),
                              lore.size() >= kLendFrom ? lore.size() + kCandidateTextRoom : 0};
        return run_to_str(plan, [&](json::Output& out) { return qf::generate_candidate_json(lore, config, out); });
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
        // A sentence: short, unless the title is long.
        const ResultPlan plan{texts[0].size(), 0};
        return run_to_str(plan, [&](json::Output& out) { return qf::render_lore_summary_json(texts[0], out); });
    });
}

PyObject* schema_bundle_json(PyObject*, PyObject*) {
    return call_boundary([]() -> NewRefOrError {
        return run_to_str({0, 0}, [](json::Output& out) { return qf::schema_bundle_json(out); });
    });
}

PyObject* version(PyObject*, PyObject*) {
    return call_boundary([]() -> NewRefOrError { return text_to_str(kVersion); });
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
