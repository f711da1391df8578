// Record encoders: compact JSON, keys in declared order.
#include "candidate_text.hpp"
#include "quillforge/codec.hpp"
#include "quillforge/json/writer.hpp"

namespace qf {

namespace {

using detail::json_key;

void append_block(std::string& out, const NarrativeBlock& block) {
    static constexpr auto kId = json_key(kNarrativeBlockInfo, "id");
    static constexpr auto kContent = json_key(kNarrativeBlockInfo, "content");
    out.append(kId.text());
    json::write_string(out, block.id);
    out.append(kContent.text());
    json::write_string(out, block.content);
    out.push_back('}');
}

}  // namespace

std::string encode_block(const NarrativeBlock& block) {
    std::string out;
    out.reserve(json::kInitialOutputCapacity);
    append_block(out, block);
    return out;
}

std::string encode_candidate(const HybridCandidate& candidate) {
    // Reserved close to the final size, so that a large merged content is not
    // copied again as the text grows: the keys and the score fit in the initial
    // room, and a sixteenth over the texts leaves space for scattered escapes.
    // Untouched reserved pages cost no resident memory.
    const std::size_t texts =
        candidate.id.size() + candidate.block.id.size() + candidate.block.content.size() + candidate.rationale.size();
    std::string out;
    out.reserve(json::kInitialOutputCapacity + texts + texts / 16);
    static constexpr auto kId = json_key(kHybridCandidateInfo, "id");
    static constexpr auto kBlock = json_key(kHybridCandidateInfo, "block");
    static constexpr auto kScore = json_key(kHybridCandidateInfo, "score");
    static constexpr auto kRationale = json_key(kHybridCandidateInfo, "rationale");
    out.append(kId.text());
    json::write_string(out, candidate.id);
    out.append(kBlock.text());
    append_block(out, candidate.block);
    out.append(kScore.text());
    json::write_f64(out, candidate.score);
    out.append(kRationale.text());
    json::write_string(out, candidate.rationale);
    out.push_back('}');
    return out;
}

}  // namespace qf
