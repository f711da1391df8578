// One hybrid candidate from a lore and a configuration.
#include <string>
#include <string_view>
#include <vector>

#include "candidate_score.hpp"
#include "candidate_text.hpp"
#include "quillforge/engine.hpp"
#include "quillforge/validation.hpp"
#include "record_path.hpp"
#include "unicode_text.hpp"

namespace qf {

namespace {

// The trimmed contents joined by single spaces, built with one exact reservation.
std::string merge_contents(const std::vector<NarrativeBlock>& blocks) {
    std::vector<std::string_view> pieces;
    pieces.reserve(blocks.size());
    std::size_t size = blocks.empty() ? 0 : blocks.size() - 1;
    for (const NarrativeBlock& block : blocks) {
        pieces.push_back(detail::trim_white_space(block.content));
        size += pieces.back().size();
    }
    std::string merged;
    merged.reserve(size);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (i != 0) {
            merged.push_back(' ');
        }
        merged.append(pieces[i]);
    }
    return merged;
}

}  // namespace

Result<HybridCandidate, NarrativeError> generate_candidate(const NarrativeLore& lore, const LabConfig& config) {
    if (auto checked = validate_lore(lore); !checked) {
        return fail(std::move(checked).error());
    }
    if (auto checked = validate_config(config); !checked) {
        return fail(std::move(checked).error());
    }
    HybridCandidate candidate;
    const detail::SeedText seed(config.seed);
    detail::append_candidate_id(candidate.id, lore.id, seed.text());
    candidate.block.id.reserve(lore.id.size() + detail::kBlockIdSuffix.size());
    candidate.block.id.append(lore.id).append(detail::kBlockIdSuffix);
    candidate.block.content = merge_contents(lore.blocks);
    candidate.score = detail::candidate_score(detail::candidate_hash(lore, config.seed), config.temperature);
    detail::append_rationale(
        candidate.rationale, lore.blocks.size(), lore.title, seed.text(), [](std::string& out, std::string_view title) {
            out.append(title);
        });
    return candidate;
}

}  // namespace qf
