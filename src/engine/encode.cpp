// Record encoders: compact JSON, keys in declared order.
#include "candidate_text.hpp"
#include "quillforge/codec.hpp"
#include "quillforge/json/writer.hpp"
#include "record_json.hpp"

namespace qf {

using detail::json_key;

void detail::write_block_json(json::Output& out, std::string_view id, std::string_view content) {
    static constexpr auto kId = json_key(kNarrativeBlockInfo, "id");
    static constexpr auto kContent = json_key(kNarrativeBlockInfo, "content");
    out.append(kId.text());
    json::write_string(out, id);
    out.append(kContent.text());
    json::write_string(out, content);
    out.push_back('}');
}

std::string encode_block(const NarrativeBlock& block) {
    json::Output out;
    out.reserve(json::kInitialOutputCapacity);
    detail::write_block_json(out, block.id, block.content);
    return out.to_string();
}

std::string encode_candidate(const HybridCandidate& candidate) {
    // Reserved close to the final size, so that a large merged content is not
    // copied again as the text grows: the keys and the score fit in the initial
    // room, and a sixteenth over the texts leaves space for scattered escapes.
    // Untouched reserved pages cost no resident memory.
    const std::size_t texts =
        candidate.id.size() + candidate.block.id.size() + candidate.block.content.size() + candidate.rationale.size();
    json::Output out;
    out.reserve(json::kInitialOutputCapacity + texts + texts / 16);
    static constexpr auto kId = json_key(kHybridCandidateInfo, "id");
    static constexpr auto kBlock = json_key(kHybridCandidateInfo, "block");
    static constexpr auto kScore = json_key(kHybridCandidateInfo, "score");
    static constexpr auto kRationale = json_key(kHybridCandidateInfo, "rationale");
    out.append(kId.text());
    json::write_string(out, candidate.id);
    out.append(kBlock.text());
    detail::write_block_json(out, candidate.block.id, candidate.block.content);
    out.append(kScore.text());
    json::write_f64(out, candidate.score);
    out.append(kRationale.text());
    json::write_string(out, candidate.rationale);
    out.push_back('}');
    return out.to_string();
}

}  // namespace qf
