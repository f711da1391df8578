#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quillforge/engine.hpp"
#include "quillforge/lines.hpp"

namespace {

using namespace std::string_literals;

constexpr std::string_view kConfig = R"({"temperature":0.7,"max_candidates":3,"seed":42})";
const std::string kLore = R"({"id":"l","title":"T","blocks":[{"id":"b","content":"hi"}]})";

// A block's answer shown as one string: "<output>|<index>:<message>|...", then "#<lines>" and "!" when stopped.
std::string answer(std::string_view block, bool stop = false) {
    auto lines = qf::CandidateLines::make(kConfig);
    EXPECT_TRUE(lines.has_value());
    qf::json::Output out;
    std::vector<qf::LineFailure> failures;
    const qf::LinesRead read = lines->answer(block, out, failures, stop);
    std::string shown(out.view());
    for (const auto& failure : failures) {
        shown += "|"s + std::to_string(failure.index) + ":" + failure.message;
    }
    return shown + "#"s + std::to_string(read.lines) + (read.stopped ? "!" : "");
}

std::string candidate(std::string_view lore) { return *qf::generate_candidate_json(lore, kConfig) + "\n"; }
std::string message(std::string_view lore) { return qf::generate_candidate_json(lore, kConfig).error().display(); }

TEST(CandidateLines, SplitsBlankTestsAndAnswersAsTheBatchDoes) {
    const std::string good = candidate(kLore);
    const std::string bad = R"({"id":"l"})";
    const std::string cut = R"({"id":"l")";  // its error's column tells whether the "\r" was read
    struct Case {
        std::string block;
        std::string expected;
    };
    const Case cases[] = {
        {"", "#0"},
        {"\n", "#1"},
        {kLore, good + "#1"},
        {kLore + "\n", good + "#1"},
        {kLore + "\r\n\n \t\v\f\r\n" + kLore, good + good + "#4"},
        // Only the "\r" before a line feed ends the line; a last line keeps its "\r".
        {cut + "\r\r\n", "|0:"s + message(cut + "\r") + "#1"},
        {cut + "\r\n", "|0:"s + message(cut) + "#1"},
        {cut + "\r", "|0:"s + message(cut + "\r") + "#1"},
        {"\r\v"s + kLore + "\n", "|0:"s + message("\r\v"s + kLore) + "#1"},  // blank bytes, then a lore
        {"\n"s + bad + "\n" + kLore + "\n", good + "|1:"s + message(bad) + "#3"},
        {"{\xff}\n\xc3\n\xe2\x82\r\n \xed\xa0\x80\n"s + kLore,
         good + "|0:not valid UTF-8 (byte 0xff at offset 1)" + "|1:not valid UTF-8 (byte 0xc3 at offset 0)" +
             "|2:not valid UTF-8 (byte 0xe2 at offset 0)" + "|3:not valid UTF-8 (byte 0xed at offset 1)#5"},
        // Non-ASCII whitespace is not blank.
        {"\xc2\xa0\n", "|0:"s + message("\xc2\xa0") + "#1"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(answer(c.block), c.expected) << c.block;
    }
}

TEST(CandidateLines, StopsAtTheFirstFailureWhenAsked) {
    const std::string good = candidate(kLore);
    EXPECT_EQ(answer(kLore + "\n\n{\n" + kLore + "\n{\n", true), good + "|2:"s + message("{") + "#3!");
    EXPECT_EQ(answer(kLore + "\n\xff\n" + kLore, true), good + "|1:not valid UTF-8 (byte 0xff at offset 0)#2!");
    EXPECT_EQ(answer(kLore + "\n\n", true), good + "#2");
}

TEST(CandidateLines, ConfigurationErrorsAreTheOperationsOwn) {
    for (const std::string_view config : {"{", R"({"temperature":9,"max_candidates":3,"seed":42})"}) {
        auto lines = qf::CandidateLines::make(config);
        ASSERT_FALSE(lines.has_value());
        EXPECT_EQ(lines.error().display(), qf::generate_candidate_json(kLore, config).error().display());
    }
}

}  // namespace
