// The engine operations behind the module's functions. Each returns its
// result or the first error, which depend on the arguments alone: the one
// thing kept between calls, each thread's last decoded configuration
// (decode_config), only spares decoding the same text again.
//
// The operations that make text write it into a json::Output the caller
// provides (which may lend them storage, so that the text is written once
// where it will stay); on an error the Output holds nothing of use. Each has a
// twin that returns the text as a std::string.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "quillforge/error.hpp"
#include "quillforge/json/output.hpp"
#include "quillforge/records.hpp"
#include "quillforge/result.hpp"

namespace qf {

// Validates the block made of the two texts and writes its JSON text.
Result<void, NarrativeError> create_block_json(std::string_view id, std::string_view content, json::Output& out);
Result<std::string, NarrativeError> create_block_json(std::string_view id, std::string_view content);

// A candidate's text takes no more bytes than its lore's text, the slug of the
// lore's id and this many more; room for lore_json.size() + kCandidateTextRoom
// bytes is enough unless the id is long.
inline constexpr std::size_t kCandidateTextRoom = 512;
Result<void, NarrativeError> generate_candidate_json(std::string_view lore_json, std::string_view config_json,
                                                     json::Output& out);
Result<std::string, NarrativeError> generate_candidate_json(std::string_view lore_json, std::string_view config_json);

Result<void, NarrativeError> render_lore_summary_json(std::string_view lore_json, json::Output& out);
Result<std::string, NarrativeError> render_lore_summary_json(std::string_view lore_json);

// The package, version, record and field orders, and one JSON Schema per record.
Result<void, NarrativeError> schema_bundle_json(json::Output& out);
Result<std::string, NarrativeError> schema_bundle_json();

}  // namespace qf
