// The one-pass content writer against the plain steps it replaces (decode the
// string, hash it, test it for blankness, trim it, escape it), error for
// error; and the other fast writers of a candidate against their references.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "engine/candidate_score.hpp"
#include "quillforge/json/writer.hpp"
#include "support.hpp"

namespace {

using qf::test::cat;
using qf::test::content_in_one_pass;
using qf::test::content_in_steps;

// What a content may hold, as written in JSON: plain text, each escape form
// (canonical or not), ASCII and non-ASCII White_Space raw and escaped, and
// bytes that are not UTF-8 (any byte string is a valid content for the engine).
// Pieces 1 and 3 to 6 are the blank ones.
// clang-format off
constexpr std::string_view kPieces[] = {
    "word", " ", "  ", "\\n", "\\t", "\\r", "\\f", "\\b", "\\\"", "\\\\", "\\/", "\\u0041", "\\u0020", "\\u000b",
    "\\u000B", "\\u001f", "\\u001F", "\\u0009", "\\u00e9", "\\u00a0", "\\u3000", "\\u2028", "\\u0085",
    "\\ud83d\\ude00", "\xc2\xa0", "\xc2\x85", "\xe3\x80\x80", "\xe2\x80\x8a", "\xe1\x9a\x80", "\xc3\xa9", "\x80",
    "\xe2\x80", "\xf0\x9f\x98\x80", "\x7f", "x"};
// clang-format on

TEST(ContentWriter, AgreesWithTheStepsOnGeneratedContents) {
    std::mt19937_64 random(2024);
    for (int round = 0; round < 40000; ++round) {
        std::string content;
        // Mostly White_Space or mostly text, so that both ends are exercised.
        const bool white = random() % 2 == 0;
        for (std::size_t i = random() % 24; i > 0; --i) {
            const std::size_t pick =
                white && random() % 3 != 0 ? (random() % 2 == 0 ? 1 : 3 + random() % 4) : random() % std::size(kPieces);
            content += kPieces[pick];
        }
        // The string near the end of the text (the last bytes are read in a
        // tail), or followed by more text (read in pieces throughout).
        const std::string json = content + (round % 3 == 0 ? "\"" : "\",\"next\":\"0123456789abcdef0123\"}");
        ASSERT_EQ(content_in_one_pass(json), content_in_steps(json)) << testing::PrintToString(json);
    }
}

// Whitespace and escapes (well formed or not) at every offset from the start of
// a piece, and a non-ASCII White_Space character straddling every piece edge, at
// both ends.
TEST(ContentWriter, AgreesWithTheStepsAtEveryOffset) {
    // clang-format off
    const std::string_view marks[] = {"\\n", "\\\"", "\\u0001", "\\u00a0", "\\u000b", "\xe3\x80\x80", "\xc2\xa0", " ",
                                      "\xe2\x80\xa9", "\\ud83d\\ude00", "\\/", "\x80", "\\uDBFF\\uDFFF", "\\u0800",
                                      "\\uFFFF", "\\ud800", "\\udc00", "\\ud800\\u0041", "\\ud800\\ud800", "\\u12g4",
                                      "\\u00E"};
    // clang-format on
    for (const std::string_view mark : marks) {
        for (std::size_t before = 0; before < 40; ++before) {
            for (std::size_t after : {0, 1, 17}) {
                const std::string text = cat(std::string(before, 'a'), mark, std::string(after, 'b'));
                const std::string spaces = cat(std::string(before, ' '), mark, std::string(after, ' '));
                const std::string mixed = cat(std::string(before, ' '), mark, "z", mark, std::string(after, ' '), mark);
                for (const std::string& content : {text, spaces, mixed}) {
                    for (std::string_view close : {"\"", "\"}                              "}) {
                        const std::string json = cat(content, close);
                        ASSERT_EQ(content_in_one_pass(json), content_in_steps(json)) << testing::PrintToString(json);
                    }
                }
            }
        }
    }
}

// The rows of tests/data/content.jsonl; each body also after plain bytes and
// followed by more text, so that a fault falls in a piece or in the last bytes.
TEST(ContentWriter, RowsOfTheDataFile) {
    for (const qf::test::Row& row : qf::test::read_rows("content.jsonl", 3)) {
        const qf::test::Content content = content_in_one_pass(*row[0]);
        EXPECT_EQ(content.text, *row[1]) << testing::PrintToString(*row[0]);
        EXPECT_EQ(content.blank, row[2].has_value()) << testing::PrintToString(*row[0]);
        for (std::size_t before : {0, 5, 15, 16, 30}) {
            for (std::string_view after : {"", "\"                                "}) {
                const std::string json = cat(std::string(before, 'a'), *row[0], after);
                EXPECT_EQ(content_in_one_pass(json), content_in_steps(json)) << testing::PrintToString(json);
            }
        }
    }
}

TEST(WriteEscaped, ScanAgreesWithTheBytewiseWriter) {
    std::mt19937_64 random(7);
    const char alphabet[] = {'a', ' ', '"', '\\', '\x00', '\x1f', '\x20', '\x7f', '\x80', '\xff', '\n', '/'};
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        for (std::size_t i = random() % 70; i > 0; --i) {
            text += random() % 4 == 0 ? alphabet[random() % std::size(alphabet)] : static_cast<char>(random());
        }
        ASSERT_TRUE(qf::test::escapes_agree(text)) << testing::PrintToString(text);
    }
}

// The fixed-point score text against the general float writer, for every score
// there is: the double nearest each k / 1e6.
TEST(WriteMillionths, EveryValueAsTheFloatWriter) {
    for (std::uint32_t k = 0; k <= 1000000; ++k) {
        std::string fixed;
        std::string general;
        qf::json::write_millionths(fixed, k);
        qf::json::write_f64(general, static_cast<double>(k) / 1000000.0);
        ASSERT_EQ(fixed, general) << k;
    }
}

// The score in millionths is the score: for every hash residue at the
// temperature extremes and on a sweep between them.
TEST(CandidateScore, MillionthsAreTheScore) {
    std::vector<double> temperatures = {0.0, 2.0, 0.7, 1e-300, 0.1, 1.9999999999999998};
    for (int i = 1; i < 200; ++i) {
        temperatures.push_back(i / 100.0);
    }
    for (double temperature : temperatures) {
        for (std::uint64_t r = 0; r < 10000; ++r) {
            const std::uint32_t millionths = qf::detail::candidate_score_millionths(r, temperature);
            ASSERT_LE(millionths, 1000000u);
            ASSERT_EQ(static_cast<double>(millionths) / 1000000.0, qf::detail::candidate_score(r, temperature))
                << r << " " << temperature;
        }
    }
    // Outside the checked range the clamp keeps the conversion defined: a score a little or far
    // below zero (-0.3 and -500,000 millionths), and none at all.
    for (const double temperature : {-10.03, -20.0, std::nan("")}) {
        EXPECT_EQ(qf::detail::candidate_score_millionths(temperature == -10.03 ? 1 : 5000, temperature), 0u);
    }
}

}  // namespace
