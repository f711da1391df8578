// The operations on decoded records: the plain steps that the one-pass text
// operations are held to by the tests and fuzz targets, kept out of the
// public API since nothing else calls them.
#pragma once

#include <string>

#include "quillforge/error.hpp"
#include "quillforge/records.hpp"
#include "quillforge/result.hpp"

namespace qf {

Result<HybridCandidate, NarrativeError> generate_candidate(const NarrativeLore& lore, const LabConfig& config);
Result<std::string, NarrativeError> render_lore_summary(const NarrativeLore& lore);

}  // namespace qf
