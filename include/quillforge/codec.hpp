// Records to and from JSON text.
#pragma once

#include <string>
#include <string_view>

#include "quillforge/json/error.hpp"
#include "quillforge/records.hpp"
#include "quillforge/result.hpp"

namespace qf {

// Reads the whole text as one record, in object or array form.
Result<NarrativeLore, json::JsonError> decode_lore(std::string_view text);
Result<LabConfig, json::JsonError> decode_config(std::string_view text);

// Compact JSON, keys in declared order. Neither can fail.
std::string encode_block(const NarrativeBlock& block);
std::string encode_candidate(const HybridCandidate& candidate);

}  // namespace qf
