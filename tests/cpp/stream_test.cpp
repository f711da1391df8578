// The JSON operations read a lore in one pass without building its records.
// Each must give, byte for byte and error for error, what the record
// operations give on the decoded records.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "engine/record_path.hpp"
#include "quillforge/codec.hpp"
#include "quillforge/engine.hpp"
#include "support.hpp"

namespace {

std::string outcome(const qf::Result<std::string, qf::NarrativeError>& result) {
    return result ? "ok: " + *result : "error: " + result.error().display();
}

// Decode both texts, then validate and generate from the records.
std::string candidate_from_records(std::string_view lore_json, std::string_view config_json) {
    auto lore = qf::decode_lore(lore_json);
    auto config = qf::decode_config(config_json);
    if (!lore || !config) {  // the lore is decoded first: its error wins
        return "error: " + qf::NarrativeError::serialization(!lore ? lore.error() : config.error()).display();
    }
    auto candidate = qf::generate_candidate(*lore, *config);
    return candidate ? "ok: " + qf::encode_candidate(*candidate) : "error: " + candidate.error().display();
}

std::string summary_from_records(std::string_view lore_json) {
    auto lore = qf::decode_lore(lore_json);
    if (!lore) {
        return "error: " + qf::NarrativeError::serialization(lore.error()).display();
    }
    return outcome(qf::render_lore_summary(*lore));
}

constexpr std::string_view kConfig = R"({"temperature":0.7,"max_candidates":3,"seed":42})";

// Every lore of tests/data/decode_lore.jsonl with every configuration of decode_config.jsonl.
TEST(Stream, CandidateAndSummaryMatchTheRecords) {
    const std::vector<qf::test::Row> configs = qf::test::read_rows("decode_config.jsonl", 2);
    for (const qf::test::Row& row : qf::test::read_rows("decode_lore.jsonl", 2)) {
        const std::string& lore = *row[0];
        for (const qf::test::Row& config_row : configs) {
            const std::string& config = *config_row[0];
            EXPECT_EQ(outcome(qf::generate_candidate_json(lore, config)), candidate_from_records(lore, config))
                << lore << "\n"
                << config;
        }
        EXPECT_EQ(outcome(qf::render_lore_summary_json(lore)), summary_from_records(lore)) << lore;
    }
}

// Blocks in the layouts read at one look (compact, Python's json.dumps) and
// near them: each text, each of its prefixes and each with one byte taken out
// must give what the token steps give, errors and their positions included.
TEST(Stream, BlockLayoutsAndTheirBreakagesMatchTheRecords) {
    const std::string lore =
        R"({"id": "L", "title": "T", "blocks": [{"id": "b1", "content": "x y"}, {"id": "b2", "content": "z"},)"
        R"( {"id":"b3","content":"w"},{"id": "b4" , "content": "v"}, {"id": "b5",  "content": "u"},)"
        R"( {"content": "t", "id": "b6"}, {"id": "b7"}]})";
    for (std::size_t at = 0; at <= lore.size(); ++at) {
        for (const std::string& text :
             {lore.substr(0, at), lore.substr(0, at) + lore.substr(std::min(at + 1, lore.size()))}) {
            ASSERT_EQ(outcome(qf::generate_candidate_json(text, kConfig)), candidate_from_records(text, kConfig))
                << text;
        }
    }
}

}  // namespace
