// The rules a decoded record must satisfy before the engine uses it. Each
// operation reports the first broken rule only.
#pragma once

#include <string_view>

#include "quillforge/error.hpp"
#include "quillforge/records.hpp"
#include "quillforge/result.hpp"

namespace qf {

// Empty, or only space, tab, line feed, form feed and carriage return.
bool is_blank(std::string_view text) noexcept;

Result<void, NarrativeError> validate_block(const NarrativeBlock& block);
// The same for a block given as its two texts.
Result<void, NarrativeError> validate_block(std::string_view id, std::string_view content);
Result<void, NarrativeError> validate_lore(const NarrativeLore& lore);
Result<void, NarrativeError> validate_config(const LabConfig& config);

}  // namespace qf
