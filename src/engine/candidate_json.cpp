// Candidate generation from JSON texts to JSON text.
#include "quillforge/codec.hpp"
#include "quillforge/engine.hpp"

namespace qf {

Result<std::string, NarrativeError> generate_candidate_json(std::string_view lore_json,
                                                            std::string_view config_json) {
    HybridCandidate candidate;
    {
        // Both texts decode before anything is validated.
        auto lore = decode_lore(lore_json);
        if (!lore) {
            return fail(NarrativeError::serialization(lore.error()));
        }
        auto config = decode_config(config_json);
        if (!config) {
            return fail(NarrativeError::serialization(config.error()));
        }
        auto generated = generate_candidate(*lore, *config);
        if (!generated) {
            return fail(std::move(generated).error());
        }
        candidate = std::move(generated).value();
    }  // The decoded lore is released here, before the text is encoded: it lowers the peak for large lores.
    return encode_candidate(candidate);
}

}  // namespace qf
