#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <set>
#include <string>
#include <string_view>

#include "engine/rules.hpp"
#include "quillforge/validation.hpp"

namespace {

// "" when the rules pass, else the display text of the first broken rule.
template <class Checked>
std::string outcome(const Checked& checked) {
    return checked ? "" : checked.error().display();
}

// Blank is only the five ASCII whitespace characters: other White_Space passes.
TEST(ValidateBlock, FirstBrokenRuleOnly) {
    const std::pair<qf::NarrativeBlock, std::string_view> cases[] = {
        {{"b1", "x"}, ""},
        {{"b1", " \t\n\f\r"}, "validation failed: NarrativeBlock.content must not be empty"},
        {{"", ""}, "validation failed: NarrativeBlock.id must not be empty"},
        {{" ", "x"}, "validation failed: NarrativeBlock.id must not be empty"},
        {{"b1", "\v"}, ""},
        {{"b1", "\xc2\xa0"}, ""},
        {{"b1", "\xe3\x80\x80"}, ""},
        {{"b1", "\xc2\x85"}, ""},
        {{"b1", "\xe2\x80\x80"}, ""},
        {{"b1", " x "}, ""},
        {{"b1", ""}, "validation failed: NarrativeBlock.content must not be empty"},
    };
    for (const auto& [block, expected] : cases) {
        EXPECT_EQ(outcome(qf::validate_block(block)), expected) << block.id << "|" << block.content;
    }
}

TEST(ValidateLore, RulesInOrder) {
    const qf::NarrativeBlock good{"b1", "x"};
    const std::pair<qf::NarrativeLore, std::string_view> cases[] = {
        {{"l1", "T", {good}}, ""},
        {{" ", "T", {}}, "validation failed: NarrativeLore.id must not be empty"},
        {{"l1", "\t", {good}}, "validation failed: NarrativeLore.title must not be empty"},
        {{"l1", "T", {}}, "validation failed: NarrativeLore.blocks must contain at least one block"},
        {{"l1", "T", {good, {"", "x"}, {"b3", ""}}}, "validation failed: NarrativeBlock.id must not be empty"},
        {{"l1", "T", {good, good, good, good, {"b5", " "}}},
         "validation failed: NarrativeBlock.content must not be empty"},
    };
    for (const auto& [lore, expected] : cases) {
        EXPECT_EQ(outcome(qf::validate_lore(lore)), expected);
    }
}

TEST(ValidateConfig, Bounds) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    constexpr double kInf = std::numeric_limits<double>::infinity();
    constexpr std::string_view kFinite = "validation failed: LabConfig.temperature must be finite";
    constexpr std::string_view kRange = "validation failed: LabConfig.temperature must be between 0.0 and 2.0";
    constexpr std::string_view kCount = "validation failed: LabConfig.max_candidates must be between 1 and 1000";
    const std::pair<qf::LabConfig, std::string_view> cases[] = {
        {{0.0, 1, 0}, ""},
        {{-0.0, 1000, std::numeric_limits<std::uint64_t>::max()}, ""},
        {{2.0, 3, 42}, ""},
        {{std::nextafter(2.0, 3.0), 3, 42}, kRange},
        {{-0.0001, 3, 42}, kRange},
        {{0.7, 0, 42}, kCount},
        {{0.7, 1001, 42}, kCount},
        {{3.0, 0, 42}, kRange},
        {{kNaN, 3, 42}, kFinite},
        {{kInf, 3, 42}, kFinite},
        {{-kInf, 0, 42}, kFinite},
    };
    for (const auto& [config, expected] : cases) {
        EXPECT_EQ(outcome(qf::validate_config(config)), expected) << config.temperature;
    }
}

// The stub that users read lists every rule's message and no other.
TEST(Rules, TheStubListsEveryRuleAndNoOther) {
    std::ifstream file(QF_TEST_DATA_DIR "/../../src/quillforge/_native.pyi");
    const std::string stub((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(stub.empty());
    // A message may wrap across the docstring's lines. (No <regex>: g++ 12
    // warns inside it at -O2 with the sanitizers.)
    std::string joined;
    for (const char c : stub) {
        const bool space = c == ' ' || c == '\n' || c == '\t' || c == '\r';
        if (!space) {
            joined.push_back(c);
        } else if (joined.empty() || joined.back() != ' ') {
            joined.push_back(' ');
        }
    }
    // Each quoted text that names a record's field, with or without the prefix.
    std::set<std::string> listed;
    for (std::size_t open = joined.find('"'); open != std::string::npos;) {
        const std::size_t close = joined.find('"', open + 1);
        if (close == std::string::npos) {
            break;
        }
        std::string_view text(joined.data() + open + 1, close - open - 1);
        if (text.starts_with("validation failed: ")) {
            text.remove_prefix(std::string_view("validation failed: ").size());
        }
        const bool rule =
            text.starts_with("NarrativeBlock.") || text.starts_with("NarrativeLore.") || text.starts_with("LabConfig.");
        if (rule) {
            listed.emplace(text);
        }
        open = rule ? joined.find('"', close + 1) : close;
    }
    std::set<std::string> rules;
    for (const qf::detail::Rule* rule : qf::detail::kRules) {
        rules.insert(rule->message());
    }
    EXPECT_EQ(listed, rules);
}

}  // namespace
