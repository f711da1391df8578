// The twins of the operations that return their text as a std::string, for
// C++ callers; the module lends the operations its own storage instead.
#include <utility>

#include "quillforge/engine.hpp"

namespace qf {

namespace {

template <class Write>
Result<std::string, NarrativeError> text_of(Write&& write) {
    json::Output out;
    if (auto written = std::forward<Write>(write)(out); !written) {
        return fail(std::move(written).error());
    }
    return out.to_string();
}

}  // namespace

Result<std::string, NarrativeError> create_block_json(std::string_view id, std::string_view content) {
    return text_of([&](json::Output& out) { return create_block_json(id, content, out); });
}

Result<std::string, NarrativeError> generate_candidate_json(std::string_view lore_json, std::string_view config_json) {
    return text_of([&](json::Output& out) { return generate_candidate_json(lore_json, config_json, out); });
}

Result<std::string, NarrativeError> render_lore_summary_json(std::string_view lore_json) {
    return text_of([&](json::Output& out) { return render_lore_summary_json(lore_json, out); });
}

Result<std::string, NarrativeError> schema_bundle_json() {
    return text_of([](json::Output& out) { return schema_bundle_json(out); });
}

}  // namespace qf
