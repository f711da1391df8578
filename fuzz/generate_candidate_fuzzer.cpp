// generate_candidate_json on any pair of texts. The input is the lore text, a
// NUL byte and the configuration text; without a NUL the whole input is the
// lore and a fixed configuration is used, so that valid lores reach generation.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/record_path.hpp"
#include "engine/unicode_text.hpp"
#include "fuzz_check.hpp"
#include "quillforge/codec.hpp"
#include "quillforge/engine.hpp"
#include "quillforge/json/reader.hpp"
#include "quillforge/lines.hpp"

namespace {

constexpr std::string_view kConfig = R"({"temperature":0.7,"max_candidates":3,"seed":42})";

// The output is one JSON value and nothing else.
bool is_json(std::string_view text) {
    qf::json::Reader reader(text);
    return reader.skip_value().has_value() && reader.finish().has_value();
}

// Runs of [a-z0-9] joined by single hyphens, possibly none at all.
bool is_slug(std::string_view slug) {
    return !slug.starts_with('-') && !slug.ends_with('-') && slug.find("--") == std::string_view::npos &&
           slug.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") == std::string_view::npos;
}

// Trimming by walking forward only: the reference for the trim that steps
// back from the end, malformed bytes included.
std::string_view trim_forward(std::string_view text) {
    std::size_t begin = text.size();
    std::size_t end = 0;
    for (std::size_t at = 0; at < text.size();) {
        const qf::detail::Scalar scalar = qf::detail::decode_scalar(text.substr(at));
        if (!qf::detail::is_white_space(scalar.value)) {
            begin = std::min(begin, at);
            end = at + scalar.length;
        }
        at += scalar.length;
    }
    return begin < end ? text.substr(begin, end - begin) : std::string_view();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input = qf::fuzz::as_text(data, size);
    const std::size_t nul = input.find('\0');
    const std::string_view lore_json = input.substr(0, nul);
    const std::string_view config_json = nul == std::string_view::npos ? kConfig : input.substr(nul + 1);

    auto result = qf::generate_candidate_json(lore_json, config_json);
    // The lines path, which reads the usual layout its own way, answers a lore on one line alike.
    if (auto lines = qf::CandidateLines::make(config_json); lines && lore_json.find('\n') == std::string_view::npos) {
        qf::json::Output out;
        std::vector<qf::LineFailure> failures;
        lines->answer(lore_json, out, failures);
        if (!failures.empty() && failures[0].kind != qf::LineFailure::Kind::Encoding) {
            QF_FUZZ_CHECK(!result && failures[0].message == result.error().display(), failures[0].message.c_str());
        } else if (failures.empty() && out.size() != 0) {
            QF_FUZZ_CHECK(result && out.view() == *result + "\n", std::string(out.view()).c_str());
        }
    }
    auto lore = qf::decode_lore(lore_json);
    auto config = qf::decode_config(config_json);
    if (!lore || !config) {
        // The lore is decoded first; its error wins.
        const auto& error = !lore ? lore.error() : config.error();
        QF_FUZZ_CHECK(!result && result.error().display() == "serialization failed: " + error.display(),
                      error.display().c_str());
        return 0;
    }
    auto candidate = qf::generate_candidate(*lore, *config);
    if (!candidate) {
        QF_FUZZ_CHECK(!result && result.error().display() == candidate.error().display(),
                      candidate.error().display().c_str());
        QF_FUZZ_CHECK(candidate.error().kind() == qf::NarrativeError::Kind::Validation, "only rules fail here");
        return 0;
    }
    QF_FUZZ_CHECK(result.has_value(), result.error().display().c_str());
    QF_FUZZ_CHECK(*result == qf::encode_candidate(*candidate), result->c_str());
    QF_FUZZ_CHECK(is_json(*result), result->c_str());

    const double score = candidate->score;
    QF_FUZZ_CHECK(score >= 0.0 && score <= 1.0, result->c_str());
    QF_FUZZ_CHECK(std::nearbyint(score * 1e6) / 1e6 == score, "six decimal places");
    const std::string suffix = "-" + std::to_string(config->seed);
    QF_FUZZ_CHECK(candidate->id.starts_with("candidate-") && candidate->id.ends_with(suffix), candidate->id.c_str());
    const std::string_view slug = std::string_view(candidate->id).substr(10, candidate->id.size() - 10 - suffix.size());
    QF_FUZZ_CHECK(is_slug(slug), candidate->id.c_str());
    QF_FUZZ_CHECK(candidate->block.id == lore->id + ":hybrid", candidate->block.id.c_str());
    // Trimming only removes: the merged text is never longer than the contents and separators.
    std::size_t total = lore->blocks.size() - 1;
    for (const auto& block : lore->blocks) {
        total += block.content.size();
        const std::string_view trimmed = qf::detail::trim_white_space(block.content);
        const std::string_view expected = trim_forward(block.content);
        QF_FUZZ_CHECK(trimmed == expected && (expected.empty() || trimmed.data() == expected.data()),
                      block.content.c_str());
    }
    QF_FUZZ_CHECK(candidate->block.content.size() <= total, "merged content is not longer than its parts");
    return 0;
}
