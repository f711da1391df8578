// The JSON operations read a lore in one pass without building its records.
// Each must give, byte for byte and error for error, what the record
// operations give on the decoded records.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "quillforge/codec.hpp"
#include "quillforge/engine.hpp"

namespace {

std::string outcome(const qf::Result<std::string, qf::NarrativeError>& result) {
    return result ? "ok: " + *result : "error: " + result.error().display();
}

// Decode both texts, then validate and generate from the records.
std::string candidate_from_records(std::string_view lore_json, std::string_view config_json) {
    auto lore = qf::decode_lore(lore_json);
    if (!lore) {
        return "error: " + qf::NarrativeError::serialization(lore.error()).display();
    }
    auto config = qf::decode_config(config_json);
    if (!config) {
        return "error: " + qf::NarrativeError::serialization(config.error()).display();
    }
    auto candidate = qf::generate_candidate(*lore, *config);
    if (!candidate) {
        return "error: " + candidate.error().display();
    }
    return "ok: " + qf::encode_candidate(*candidate);
}

std::string summary_from_records(std::string_view lore_json) {
    auto lore = qf::decode_lore(lore_json);
    if (!lore) {
        return "error: " + qf::NarrativeError::serialization(lore.error()).display();
    }
    return outcome(qf::render_lore_summary(*lore));
}

constexpr std::string_view kLores[] = {
    R"({"id":"Tide Lore","title":"Tides","blocks":[{"id":"b1","content":"  hello world "},{"id":"b2","content":"second"}]})",
    // Keys in other orders, the blocks before the id or the title among them.
    R"({"title":"Tides","id":"Tide Lore","blocks":[{"content":"  hello world ","id":"b1"},{"id":"b2","content":"x"}]})",
    R"({"blocks":[{"id":"b1","content":"one two"}],"id":"Tide Lore","title":"Tides"})",
    R"({"id":"Tide Lore","blocks":[{"id":"b1","content":"one two"}],"title":"Tides"})",
    R"(["Tide Lore","Tides",[["b1","a b"],{"content":"c","id":"b2"}]])",
    R"({"id":"L","title":"T","note":[1,{"blocks":2}],"blocks":[{"id":"b1","x":null,"content":"c"}]})",
    // Escapes: in the content (trimmed after decoding), the id, the title and a key.
    R"({"id":"Caf\u00e9 \"1\"","title":"Tab\there \\ \/","blocks":[{"id":"b\n1","content":"\n\t  quote \" and \u0001 \ud83d\ude00\u00a0"}]})",
    R"({"id":"L","title":"T","blocks":[{"\u0069d":"b1","content":"\u3000\u3000"},{"id":"b2","content":"  z  "}]})",
    // Escaped blocks kept until the id and the title come, past the size of a short string.
    R"({"blocks":[{"id":"b\n1","content":" a\"b "},{"id":"b2","content":"\u00e9\t"},)"
    R"({"id":"b3","content":" a long content with an escape \\ past any short string buffer "}],)"
    R"("title":"T\"","id":"L\u00e9"})",
    // Blank fields and rules, in the order they are reported.
    R"({"id":" ","title":"","blocks":[]})",
    R"({"blocks":[{"id":"b1","content":""}],"title":" ","id":"L"})",
    R"({"id":"L","title":"T","blocks":[]})",
    R"({"id":"L","title":"T","blocks":[{"id":"b1","content":"x"},{"id":"\t","content":" "},{"id":"b3","content":""}]})",
    R"({"id":"L","title":"T","blocks":[{"content":" ","id":"b1"}]})",
    // Decoding errors, inside and around the blocks.
    R"({"id":"L","title":"T","blocks":[{"id":"b1"}]})",
    R"({"id":"L","title":"T","blocks":[{"id":"b1","content":"x","id":"b2"}]})",
    R"({"id":"L","title":"T","blocks":[{"id":"b1","content":"x"},]})",
    R"({"id":"L","title":"T","blocks":null})",
    R"({"id":"L","blocks":[{"id":"b1","content":"x\q"}],"title":"T"})",
    R"({"id":"L","title":"T","blocks":[{"id":"b1","content":"x"}]} x)",
    R"({"id":"L","title":"T","blocks":[{"id":"b1","content":"x"}],"title":"U"})",
    R"({"id":"L","title":"T"})",
    "",
};

constexpr std::string_view kConfigs[] = {
    R"({"temperature":0.7,"max_candidates":3,"seed":42})",
    R"([2.0,1000,18446744073709551615])",
    R"({"temperature":0.7,"max_candidates":3})",
    R"({"temperature":2.5,"max_candidates":3,"seed":1})",
    R"({"temperature":0.7,"max_candidates":0,"seed":1})",
};

TEST(Stream, CandidateMatchesTheRecords) {
    for (std::string_view lore : kLores) {
        for (std::string_view config : kConfigs) {
            EXPECT_EQ(outcome(qf::generate_candidate_json(lore, config)), candidate_from_records(lore, config))
                << lore << "\n"
                << config;
        }
    }
}

TEST(Stream, SummaryMatchesTheRecords) {
    for (std::string_view lore : kLores) {
        EXPECT_EQ(outcome(qf::render_lore_summary_json(lore)), summary_from_records(lore)) << lore;
    }
}

// Long contents cross the sixteen-byte rounds of the scans with escapes and
// non-ASCII spaces at every offset.
TEST(Stream, LongContentsMatchTheRecords) {
    const std::string_view pieces[] = {"word ", "\\n", "\\\"", "\u00a0", "\u3000x", "\\u2028", "\\t ", "é"};
    for (std::size_t shift = 0; shift < 40; ++shift) {
        std::string content(shift, 'a');
        for (std::size_t i = 0; i < 60; ++i) {
            content += pieces[(i * 7 + shift) % std::size(pieces)];
        }
        const std::string lore = R"({"id":"L","title":"T","blocks":[{"id":"b1","content":")" + content +
                                 R"("},{"id":"b2","content":"  )" + content + R"(  "}]})";
        EXPECT_EQ(outcome(qf::generate_candidate_json(lore, kConfigs[0])), candidate_from_records(lore, kConfigs[0]))
            << lore;
        EXPECT_EQ(outcome(qf::render_lore_summary_json(lore)), summary_from_records(lore)) << lore;
    }
}

}  // namespace
