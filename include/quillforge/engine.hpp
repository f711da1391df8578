// The engine operations behind the module's functions. Each returns its
// result or the first error; none keeps state between calls.
#pragma once

#include <string>
#include <string_view>

#include "quillforge/error.hpp"
#include "quillforge/records.hpp"
#include "quillforge/result.hpp"

namespace qf {

// Takes both texts, validates the block they make and returns its JSON text.
Result<std::string, NarrativeError> create_block_json(std::string id, std::string content);

Result<HybridCandidate, NarrativeError> generate_candidate(const NarrativeLore& lore, const LabConfig& config);
Result<std::string, NarrativeError> generate_candidate_json(std::string_view lore_json, std::string_view config_json);

Result<std::string, NarrativeError> render_lore_summary(const NarrativeLore& lore);
Result<std::string, NarrativeError> render_lore_summary_json(std::string_view lore_json);

// The package, version, record and field orders, and one JSON Schema per record.
Result<std::string, NarrativeError> schema_bundle_json();

}  // namespace qf
