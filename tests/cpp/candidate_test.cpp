#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "engine/candidate_score.hpp"
#include "quillforge/codec.hpp"
#include "quillforge/engine.hpp"
#include "support.hpp"

namespace {

constexpr std::uint64_t kMaxSeed = 18446744073709551615u;

TEST(CandidateScore, Formula) {
    struct Case {
        std::uint64_t hash;
        double temperature;
        double expected;
    };
    const Case cases[] = {
        {1139, 0.7, 0.121873},
        {6401, 0.7, 0.684907},
        {7506, 2.0, 0.90072},
        {8333, 2.0, 0.99996},  // the last r under the cap at temperature 2.0
        {8334, 2.0, 1.0},
        {9999, 0.0, 0.9999},  // temperature 0 never reaches the cap
        {0, 2.0, 0.0},
        {kMaxSeed, 0.0, 0.1615},  // r is the hash modulo 10000
        {25, 0.01, 0.002503},     // 1.001 * 0.0025 * 1e6 is exactly 2502.5: the half goes away from zero
    };
    for (const Case& c : cases) {
        EXPECT_EQ(qf::detail::candidate_score(c.hash, c.temperature), c.expected) << c.hash << " " << c.temperature;
    }
}

// The string-returning forms (the module does not use them): the text, or the error.
TEST(CreateBlock, TextOrTheBrokenRule) {
    const auto text = [](const std::string& json) { return json; };
    EXPECT_EQ(qf::test::outcome(qf::create_block_json("b1", "a\"b"), text), R"({"id":"b1","content":"a\"b"})");
    EXPECT_EQ(qf::encode_block({"b1", "a\"b"}), R"({"id":"b1","content":"a\"b"})");  // the record's encoder
    EXPECT_EQ(qf::test::outcome(qf::create_block_json("b1", " "), text),
              "validation failed: NarrativeBlock.content must not be empty");
    EXPECT_EQ(qf::test::outcome(qf::generate_candidate_json("{", "{}"), text),
              "serialization failed: EOF while parsing an object at line 1 column 1");
    EXPECT_EQ(qf::test::outcome(qf::render_lore_summary_json("["), text),
              "serialization failed: EOF while parsing a list at line 1 column 1");
}

}  // namespace
