// The lore summary from a JSON text; the sentence comes back as plain text.
#include "quillforge/codec.hpp"
#include "quillforge/engine.hpp"

namespace qf {

Result<std::string, NarrativeError> render_lore_summary_json(std::string_view lore_json) {
    auto lore = decode_lore(lore_json);
    if (!lore) {
        return fail(NarrativeError::serialization(lore.error()));
    }
    return render_lore_summary(*lore);
}

}  // namespace qf
