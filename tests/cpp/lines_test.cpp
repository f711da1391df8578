#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "quillforge/engine.hpp"
#include "quillforge/lines.hpp"

namespace {

using namespace std::string_literals;

constexpr std::string_view kConfig = R"({"temperature":0.7,"max_candidates":3,"seed":42})";
const std::string kLore = R"({"id":"l","title":"T","blocks":[{"id":"b","content":"hi"}]})";

// A block's answer shown as one string: "<output>|<index>:<message>|...", then "#<lines>" and "!" when stopped.
std::string answer(std::string_view block, bool stop = false, std::string_view config = kConfig) {
    auto lines = qf::CandidateLines::make(config);
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

// A one-line block's answer as the one-lore call gives it.
std::string one_call(std::string_view line, std::string_view config = kConfig) {
    auto answered = qf::generate_candidate_json(line, config);
    return (answered ? *answered + "\n" : "|0:"s + answered.error().display()) + "#1";
}

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

// Lores in the layout read at one look (compact or spaced as json.dumps
// writes them), and lores that leave it at each of its steps: every answer is
// the one-lore call's, text and message.
TEST(CandidateLines, UsualLayoutAnswersAsTheOneLoreCall) {
    const std::string spaced =
        R"({"id": "Lore 7", "title": "T7", "blocks": [{"id": "b0", "content": "caf\u00e9 \u2014"}, )"
        R"({"id": "b1", "content": " tide\t"}]})";
    const std::string lores[] = {
        kLore,
        spaced,
        R"({"id":"Tide Lore 42","title":"T","blocks":[{"id":"b","content":"a"}, {"id": "c", "content":"b"}]})",
        R"({"id":"l","title":"T","blocks":[{"id":"b","content":" \u3000 x\/ \u00a0"},{"id":"c","content":"\u2028"}]})",
        // The strings read plain: long, non-ASCII, a space after the first byte.
        R"({"id":"a lore whose id runs past sixteen bytes and past forty-eight bytes too",)"
        R"("title":"a title well past sixteen bytes","blocks":[{"id":"a block id past sixteen","content":"x"}]})",
        "{\"id\":\"\u00e9t\u00e9 \",\"title\":\"\u2014\",\"blocks\":[{\"id\":\"\U0001f600\",\"content\":\"\u3000y\"}]}",
        // It leaves: whitespace elsewhere, keys in another order, an extra or a repeated key.
        " " + kLore,
        kLore + " ",
        R"({ "id":"l","title":"T","blocks":[{"id":"b","content":"hi"}]})",
        R"({"id":"l","title":"T","blocks":[ {"id":"b","content":"hi"}]})",
        R"({"id":"l","title":"T","blocks":[{"id":"b","content":"hi"} ]})",
        R"({"title":"T","id":"l","blocks":[{"id":"b","content":"hi"}]})",
        R"({"id":"l","blocks":[{"id":"b","content":"hi"}],"title":"T"})",
        R"({"id":"l","title":"T","blocks":[{"content":"hi","id":"b"}]})",
        R"({"id":"l","title":"T","blocks":[{"id":"b","content":"hi","x":1}]})",
        R"({"id":"l","title":"T","blocks":[{"id":"b","content":"hi"}],"id":"m"})",
        R"({"id":"l","title":"T","blocks":[["b","hi"]]})",
        R"({"id":"l","title":"T","blocks":[]})",
        R"(["l","T",[{"id":"b","content":"hi"}]])",
        // Strings with escapes, or blank, or empty.
        R"({"id":"\u006c","title":"T","blocks":[{"id":"b","content":"hi"}]})",
        R"({"id":"l\"","title":"T\\","blocks":[{"id":"\n","content":"hi"}]})",
        R"({"id":" ","title":"T","blocks":[{"id":"b","content":"hi"}]})",
        R"({"id":" l","title":" T","blocks":[{"id":" b","content":"hi"}]})",
        R"({"id":"","title":"T","blocks":[{"id":"b","content":"hi"}]})",
        R"({"id":"l","title":"","blocks":[{"id":"b","content":"hi"}]})",
        R"({"id":"l","title":"T","blocks":[{"id":"","content":"hi"}]})",
        R"({"id":"l","title":"T","blocks":[{"id":"b","content":"hi"},{"id":"c","content":" \t"}]})",
        R"({"id":"l","title":"T","blocks":[{"id":"b","content":""}]})",
        // Bad text inside and after the layout.
        R"({"id":"l","title":"T","blocks":[{"id":"b","content":"h\x"}]})",
        R"({"id":"l","title":"T","blocks":[{"id":"b","content":"hi"}]}})",
        R"({"id":"l","title":"T","blocks":[{"id":"b","content":"hi"}]x)",
        R"({"id":"l","title":"T","blocks":[{"id":"b","content":"hi"},]})",
        "{\"id\":\"l\",\"title\":\"T\t\",\"blocks\":[{\"id\":\"b\",\"content\":\"hi\"}]}",
    };
    for (const std::string& lore : lores) {
        EXPECT_EQ(answer(lore), one_call(lore)) << lore;
        // Cut short at every byte (a cut inside a character is not UTF-8 and fails before the engine).
        for (std::size_t size = lore.find('{') + 1; size < lore.size(); ++size) {
            if ((lore[size] & 0xC0) != 0x80) {
                ASSERT_EQ(answer(lore.substr(0, size)), one_call(lore.substr(0, size))) << lore.substr(0, size);
            }
        }
    }
    // The seed's text is made once per configuration: the longest and the shortest.
    for (const std::string_view config : {R"({"temperature":2,"max_candidates":1,"seed":18446744073709551615})",
                                          R"({"temperature":0,"max_candidates":1,"seed":0})"}) {
        EXPECT_EQ(answer(spaced, false, config), one_call(spaced, config));
    }
}

// Random lores near the usual layout, and each with one byte changed, against the one-lore call.
TEST(CandidateLines, RandomLoresAnswerAsTheOneLoreCall) {
    const std::vector<std::string> texts = {"l",
                                            "Tide Lore 3",
                                            " x",
                                            "",
                                            " ",
                                            "\u00e9",
                                            "\\\"",
                                            "\u00e9t\u00e9",
                                            "caf\u00e9 \u2014 over",
                                            "\t hi \u00a0",
                                            "\\u0041",
                                            "\\/",
                                            "a text that runs well past sixteen bytes"};
    const std::string_view changes = R"( "{}[],:\ax0)";
    std::mt19937 random(21);
    const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
    const auto text = [&] { return texts[pick(texts.size())]; };
    const auto join = [&](std::string_view key) {
        return pick(2) == 0 ? "\",\""s + std::string(key) + "\":\"" : "\", \""s + std::string(key) + "\": \"";
    };
    for (int round = 0; round < 3000; ++round) {
        std::string lore = R"({"id":")" + text() + join("title") + text() + "\"" +
                           (pick(2) == 0 ? ",\"blocks\":[" : ", \"blocks\": [");
        for (std::size_t block = 0, blocks = 1 + pick(3); block < blocks; ++block) {
            lore += (block == 0     ? ""
                     : pick(2) == 0 ? ","
                                    : ", ") +
                    R"({"id":")"s + text() + join("content") + text() + "\"}";
        }
        lore += "]}";
        EXPECT_EQ(answer(lore), one_call(lore)) << lore;
        const std::size_t at = pick(lore.size());
        if (static_cast<unsigned char>(lore[at]) < 0x80) {
            const std::string changed = lore.substr(0, at) + changes[pick(changes.size())] + lore.substr(at + pick(2));
            EXPECT_EQ(answer(changed), one_call(changed)) << changed;
        }
    }
}

}  // namespace
