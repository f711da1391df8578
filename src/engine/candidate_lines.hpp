// What the lines operation shares with the one-lore operation: the candidate
// for a configuration decoded and checked once for many lores.
#pragma once

#include <string_view>

#include "quillforge/error.hpp"
#include "quillforge/json/output.hpp"
#include "quillforge/lines.hpp"
#include "quillforge/records.hpp"
#include "quillforge/result.hpp"

namespace qf::detail {

// generate_candidate_json for a configuration that passed decode_config and
// validate_config, whose seed's text (SeedText) is `seed_text`: the same text,
// the same lore errors. On an error the Output may hold part of the candidate
// past where it started.
Result<void, NarrativeError> generate_candidate_json(std::string_view lore_json, const LabConfig& checked_config,
                                                     std::string_view seed_text, json::Output& out);

// The same for a lore in the usual layout (candidate_plain.cpp), with the "\n"
// after it: true when written; false, with nothing written, for any other
// lore, which the general reader then answers.
bool write_plain_candidate(std::string_view lore_json, const LabConfig& checked_config, const SeedPieces& pieces,
                           json::Output& out);

}  // namespace qf::detail
