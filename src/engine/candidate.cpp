// One hybrid candidate from a lore and a configuration.
#include <string>
#include <string_view>
#include <vector>

#include "candidate_score.hpp"
#include "quillforge/engine.hpp"
#include "quillforge/json/writer.hpp"
#include "quillforge/validation.hpp"
#include "slug.hpp"
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

std::string candidate_id(std::string_view lore_id, std::uint64_t seed) {
    std::string id = "candidate-";
    detail::append_slug(id, lore_id);
    id.push_back('-');
    json::write_u64(id, seed);
    return id;
}

std::string rationale(const NarrativeLore& lore, std::uint64_t seed) {
    constexpr std::string_view kHead = "Hybridized ";
    constexpr std::string_view kFrom = " block(s) from '";
    constexpr std::string_view kSeed = "' with seed ";
    std::string text;
    text.reserve(kHead.size() + kFrom.size() + kSeed.size() + lore.title.size() + 2 * 20 + 1);
    text.append(kHead);
    json::write_u64(text, lore.blocks.size());
    text.append(kFrom);
    text.append(lore.title);
    text.append(kSeed);
    json::write_u64(text, seed);
    text.push_back('.');
    return text;
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
    candidate.id = candidate_id(lore.id, config.seed);
    candidate.block.id.reserve(lore.id.size() + 7);
    candidate.block.id.append(lore.id).append(":hybrid");
    candidate.block.content = merge_contents(lore.blocks);
    candidate.score = detail::candidate_score(detail::candidate_hash(lore, config.seed), config.temperature);
    candidate.rationale = rationale(lore, config.seed);
    return candidate;
}

}  // namespace qf
