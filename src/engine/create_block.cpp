#include "quillforge/codec.hpp"
#include "quillforge/engine.hpp"
#include "quillforge/validation.hpp"

namespace qf {

Result<std::string, NarrativeError> create_block_json(std::string id, std::string content) {
    const NarrativeBlock block{std::move(id), std::move(content)};
    if (auto checked = validate_block(block); !checked) {
        return fail(std::move(checked).error());
    }
    return encode_block(block);
}

}  // namespace qf
