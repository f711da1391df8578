#include "quillforge/engine.hpp"
#include "quillforge/validation.hpp"
#include "record_json.hpp"

namespace qf {

Result<void, NarrativeError> create_block_json(std::string_view id, std::string_view content, json::Output& out) {
    if (auto checked = validate_block(id, content); !checked) {
        return checked;
    }
    detail::write_block_json(out, id, content);
    return {};
}

}  // namespace qf
