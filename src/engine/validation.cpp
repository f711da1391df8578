#include "quillforge/validation.hpp"

#include <cmath>
#include <string>

#include "lore_facts.hpp"
#include "quillforge/text/classes.hpp"
#include "rules.hpp"

namespace qf {

bool is_blank(std::string_view text) noexcept { return qf::text::is_blank(text); }

namespace {

using Input = NarrativeError::Input;
using detail::Rule;

// Cold: built only when a rule is broken.
[[gnu::cold, gnu::noinline]] NarrativeError broken(Input input, const Rule& rule) {
    return NarrativeError::validation(input, rule.message());
}
}  // namespace

Result<void, NarrativeError> validate_block(std::string_view id, std::string_view content) {
    if (is_blank(id)) {
        return fail(broken(Input::Block, detail::kBlockIdRule));
    }
    if (is_blank(content)) {
        return fail(broken(Input::Block, detail::kBlockContentRule));
    }
    return {};
}

Result<void, NarrativeError> validate_block(const NarrativeBlock& block) {
    return validate_block(block.id, block.content);
}

Result<void, NarrativeError> detail::LoreFacts::check() const {
    if (id_blank) {
        return fail(broken(Input::Lore, kLoreIdRule));
    }
    if (title_blank) {
        return fail(broken(Input::Lore, kLoreTitleRule));
    }
    if (blocks == 0) {
        return fail(broken(Input::Lore, kLoreBlocksRule));
    }
    switch (first_broken) {
    case BlockRule::Id:
        return fail(broken(Input::Lore, kBlockIdRule));
    case BlockRule::Content:
        return fail(broken(Input::Lore, kBlockContentRule));
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
        return fail(broken(Input::Config, detail::kTemperatureFiniteRule));
    }
    if (!(config.temperature >= 0.0 && config.temperature <= 2.0)) {
        return fail(broken(Input::Config, detail::kTemperatureRangeRule));
    }
    if (config.max_candidates < 1 || config.max_candidates > 1000) {
        return fail(broken(Input::Config, detail::kMaxCandidatesRule));
    }
    return {};
}

}  // namespace qf
