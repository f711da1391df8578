#include "quillforge/validation.hpp"

#include <cmath>
#include <string>

#include "lore_facts.hpp"
#include "quillforge/text/classes.hpp"

namespace qf {

bool is_blank(std::string_view text) noexcept { return qf::text::is_blank(text); }

namespace {

NarrativeError must_not_be_empty(std::string_view label) {
    std::string message(label);
    message += " must not be empty";
    return NarrativeError::validation(std::move(message));
}

}  // namespace

Result<void, NarrativeError> validate_block(std::string_view id, std::string_view content) {
    if (is_blank(id)) {
        return fail(must_not_be_empty("NarrativeBlock.id"));
    }
    if (is_blank(content)) {
        return fail(must_not_be_empty("NarrativeBlock.content"));
    }
    return {};
}

Result<void, NarrativeError> validate_block(const NarrativeBlock& block) {
    return validate_block(block.id, block.content);
}

Result<void, NarrativeError> detail::LoreFacts::check() const {
    if (id_blank) {
        return fail(must_not_be_empty("NarrativeLore.id"));
    }
    if (title_blank) {
        return fail(must_not_be_empty("NarrativeLore.title"));
    }
    if (blocks == 0) {
        return fail(NarrativeError::validation("NarrativeLore.blocks must contain at least one block"));
    }
    switch (first_broken) {
    case BlockRule::Id:
        return fail(must_not_be_empty("NarrativeBlock.id"));
    case BlockRule::Content:
        return fail(must_not_be_empty("NarrativeBlock.content"));
    case BlockRule::None:
        break;
    }
    return {};
}

Result<void, NarrativeError> validate_lore(const NarrativeLore& lore) {
    detail::LoreFacts facts{is_blank(lore.id), is_blank(lore.title)};
    for (const NarrativeBlock& block : lore.blocks) {
        if (facts.first_broken != detail::LoreFacts::BlockRule::None) {
            break;  // only the first broken block counts
        }
        facts.add_block(is_blank(block.id), is_blank(block.content));
    }
    facts.blocks = lore.blocks.size();
    return facts.check();
}

Result<void, NarrativeError> validate_config(const LabConfig& config) {
    if (!std::isfinite(config.temperature)) {
        return fail(NarrativeError::validation("LabConfig.temperature must be finite"));
    }
    if (!(config.temperature >= 0.0 && config.temperature <= 2.0)) {
        return fail(NarrativeError::validation("LabConfig.temperature must be between 0.0 and 2.0"));
    }
    if (config.max_candidates < 1 || config.max_candidates > 1000) {
        return fail(NarrativeError::validation("LabConfig.max_candidates must be between 1 and 1000"));
    }
    return {};
}

}  // namespace qf
