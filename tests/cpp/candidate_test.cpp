#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "../../src/engine/candidate_score.hpp"
#include "quillforge/codec.hpp"
#include "quillforge/engine.hpp"

namespace {

using qf::HybridCandidate;
using qf::LabConfig;
using qf::NarrativeBlock;
using qf::NarrativeLore;

constexpr std::uint64_t kMaxSeed = std::numeric_limits<std::uint64_t>::max();

NarrativeLore tide_lore() { return {"Tide Lore", "Tides", {{"b1", "  hello world "}, {"b2", "second"}}}; }

HybridCandidate generate(const NarrativeLore& lore, const LabConfig& config) {
    auto candidate = qf::generate_candidate(lore, config);
    EXPECT_TRUE(candidate) << candidate.error().display();
    return candidate ? *candidate : HybridCandidate{};
}

TEST(CandidateHash, WorkedExamples) {
    const NarrativeLore lore = tide_lore();
    EXPECT_EQ(qf::detail::candidate_hash(lore, 42), 5548961054859981139u);
    EXPECT_EQ(qf::detail::candidate_hash(lore, 42) % 10000, 1139u);
    EXPECT_EQ(qf::detail::candidate_hash(lore, 0) % 10000, 6401u);
    EXPECT_EQ(qf::detail::candidate_hash(lore, kMaxSeed) % 10000, 7506u);
}

TEST(CandidateHash, ReadsTheFieldsWithNothingBetween) {
    qf::detail::SeededFnv1a joined(7);
    joined.update("Tide LoreTidesb1  hello world b2second");
    EXPECT_EQ(qf::detail::candidate_hash(tide_lore(), 7), joined.value());
    // Unseeded FNV-1a 64 of "a" is a published check value.
    qf::detail::SeededFnv1a plain(0);
    plain.update("a");
    EXPECT_EQ(plain.value(), 0xaf63dc4c8601ec8cu);
}

TEST(CandidateScore, FormulaStepByStep) {
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
        {9999, 2.0, 1.0},
        {9999, 0.0, 0.9999},  // temperature 0 never reaches the cap
        {1139, 0.0, 0.1139},
        {0, 2.0, 0.0},
        {5548961054859981139u, 0.7, 0.121873},  // r is the hash modulo 10000
        {kMaxSeed, 0.0, 0.1615},
        // 1.001 * 0.0025 * 1e6 is exactly 2502.5: the half goes away from zero.
        {25, 0.01, 0.002503},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(qf::detail::candidate_score(c.hash, c.temperature), c.expected) << c.hash << " " << c.temperature;
    }
}

TEST(GenerateCandidate, WorkedExample) {
    const HybridCandidate candidate = generate(tide_lore(), {0.7, 3, 42});
    EXPECT_EQ(candidate.id, "candidate-tide-lore-42");
    EXPECT_EQ(candidate.block.id, "Tide Lore:hybrid");
    EXPECT_EQ(candidate.block.content, "hello world second");
    EXPECT_EQ(candidate.score, 0.121873);
    EXPECT_EQ(candidate.rationale, "Hybridized 2 block(s) from 'Tides' with seed 42.");
    EXPECT_EQ(qf::encode_candidate(candidate),
              R"({"id":"candidate-tide-lore-42","block":{"id":"Tide Lore:hybrid","content":"hello world second"},)"
              R"("score":0.121873,"rationale":"Hybridized 2 block(s) from 'Tides' with seed 42."})");
}

TEST(GenerateCandidate, OtherConfigurations) {
    const HybridCandidate zero = generate(tide_lore(), {0.7, 3, 0});
    EXPECT_EQ(zero.id, "candidate-tide-lore-0");
    EXPECT_EQ(zero.score, 0.684907);
    EXPECT_EQ(zero.rationale, "Hybridized 2 block(s) from 'Tides' with seed 0.");

    const HybridCandidate most = generate(tide_lore(), {2.0, 3, kMaxSeed});
    EXPECT_EQ(most.id, "candidate-tide-lore-18446744073709551615");
    EXPECT_EQ(most.score, 0.90072);
    EXPECT_EQ(most.rationale, "Hybridized 2 block(s) from 'Tides' with seed 18446744073709551615.");

    // max_candidates is only validated: it limits nothing and changes nothing.
    const std::string one = qf::encode_candidate(generate(tide_lore(), {0.7, 1, 42}));
    EXPECT_EQ(one, qf::encode_candidate(generate(tide_lore(), {0.7, 1000, 42})));
    EXPECT_NE(one.find("Hybridized 2 block(s)"), std::string::npos);
}

TEST(GenerateCandidate, MergedContent) {
    struct Case {
        std::vector<std::string> contents;
        std::string expected;
    };
    const Case cases[] = {
        {{"a", "\xC2\xA0", "b"}, "a  b"},  // a piece that trims to nothing keeps its place
        {{"a", "\v", "\xE3\x80\x80", "b"}, "a   b"},
        {{"\xC2\xA0"}, ""},
        {{" only one "}, "only one"},
        {{"line\none ", "\ttwo\r\n"}, "line\none two"},
        {{"\xE3\x80\x80x\xE2\x80\xA9", "y"}, "x y"},
        {{"x\xE2\x80\x8B"}, "x\xE2\x80\x8B"},  // U+200B stays
    };
    for (const Case& c : cases) {
        NarrativeLore lore{"L", "T", {}};
        for (std::size_t i = 0; i < c.contents.size(); ++i) {
            lore.blocks.push_back({std::to_string(i), c.contents[i]});
        }
        const HybridCandidate candidate = generate(lore, {0.0, 1, 1});
        EXPECT_EQ(candidate.block.content, c.expected) << testing::PrintToString(c.contents);
        EXPECT_EQ(candidate.rationale,
                  "Hybridized " + std::to_string(c.contents.size()) + " block(s) from 'T' with seed 1.");
    }
}

TEST(GenerateCandidate, IdsAndRationaleKeepTheirTextsUnchanged) {
    const NarrativeLore lore{"  \xC3\x9C" "ber-Saga ", "  Saga  ", {{"b", "x"}}};
    const HybridCandidate candidate = generate(lore, {0.0, 1, 7});
    EXPECT_EQ(candidate.id, "candidate-ber-saga-7");
    EXPECT_EQ(candidate.block.id, "  \xC3\x9C" "ber-Saga :hybrid");
    EXPECT_EQ(candidate.rationale, "Hybridized 1 block(s) from '  Saga  ' with seed 7.");

    const HybridCandidate empty_slug = generate({"???", "T", {{"b", "x"}}}, {0.0, 1, 42});
    EXPECT_EQ(empty_slug.id, "candidate--42");
}

TEST(GenerateCandidate, HashSeesBytesNotFieldBoundaries) {
    const NarrativeLore moved{"Tide Lore", "Tide", {{"sb1", "  hello world "}, {"b2", "second"}}};
    const HybridCandidate original = generate(tide_lore(), {0.7, 3, 42});
    const HybridCandidate shifted = generate(moved, {0.7, 3, 42});
    EXPECT_EQ(shifted.score, original.score);
    EXPECT_EQ(shifted.rationale, "Hybridized 2 block(s) from 'Tide' with seed 42.");

    // Trimming shapes the merged content only; the hash reads the untrimmed bytes.
    const NarrativeLore trimmed{"Tide Lore", "Tides", {{"b1", "hello world"}, {"b2", "second"}}};
    const HybridCandidate other = generate(trimmed, {0.7, 3, 42});
    EXPECT_EQ(other.block.content, original.block.content);
    EXPECT_EQ(other.score, qf::detail::candidate_score(qf::detail::candidate_hash(trimmed, 42), 0.7));
    EXPECT_NE(qf::detail::candidate_hash(trimmed, 42), qf::detail::candidate_hash(tide_lore(), 42));
}

TEST(GenerateCandidate, LoreIsValidatedBeforeConfig) {
    struct Case {
        NarrativeLore lore;
        LabConfig config;
        std::string_view expected;
    };
    const Case cases[] = {
        {{"", "T", {}}, {3.0, 0, 1}, "validation failed: NarrativeLore.id must not be empty"},
        {{"L", "T", {}}, {3.0, 1, 1}, "validation failed: NarrativeLore.blocks must contain at least one block"},
        {{"L", "T", {{"b", " "}}}, {0.5, 0, 1}, "validation failed: NarrativeBlock.content must not be empty"},
        {tide_lore(), {3.0, 0, 1}, "validation failed: LabConfig.temperature must be between 0.0 and 2.0"},
        {tide_lore(), {std::numeric_limits<double>::quiet_NaN(), 1, 1},
         "validation failed: LabConfig.temperature must be finite"},
        {tide_lore(), {1.0, 1001, 1}, "validation failed: LabConfig.max_candidates must be between 1 and 1000"},
    };
    for (const Case& c : cases) {
        auto candidate = qf::generate_candidate(c.lore, c.config);
        ASSERT_FALSE(candidate) << c.expected;
        EXPECT_EQ(candidate.error().display(), c.expected);
    }
}

TEST(GenerateCandidate, AMillionBlocks) {
    NarrativeLore lore{"many", "Many", {}};
    lore.blocks.assign(1'000'000, NarrativeBlock{"b", " w "});
    const HybridCandidate candidate = generate(lore, {1.0, 1, 9});
    EXPECT_EQ(candidate.block.content.size(), 2 * 1'000'000 - 1);
    EXPECT_EQ(candidate.block.content.substr(0, 6), "w w w ");
    EXPECT_EQ(candidate.rationale, "Hybridized 1000000 block(s) from 'Many' with seed 9.");
    EXPECT_EQ(candidate.score, qf::detail::candidate_score(qf::detail::candidate_hash(lore, 9), 1.0));
}

}  // namespace
