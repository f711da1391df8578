// The one-pass content writer against the plain steps it replaces: decode the
// string, hash it, test it for blankness, trim it, escape it. And the reader's
// piecewise string walk against read_string, error for error.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "engine/candidate_score.hpp"
#include "engine/content_writer.hpp"
#include "engine/unicode_text.hpp"
#include "quillforge/json/reader.hpp"
#include "quillforge/json/writer.hpp"
#include "quillforge/validation.hpp"

namespace {

using qf::detail::ContentWriter;

constexpr std::uint64_t kSeedState = 0xcbf29ce484222325u ^ 42u;

struct Outcome {
    std::string text;  // the written text, or the error's display
    std::uint64_t hash = 0;
    bool blank = false;
    std::size_t index = 0;  // the reader's position after the string

    bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Outcome& outcome) {
    return os << testing::PrintToString(outcome.text) << " hash " << outcome.hash << " blank " << outcome.blank
              << " index " << outcome.index;
}

// `json` holds a string from its first byte on, without the opening quotation mark.
Outcome written_in_one_pass(std::string_view json) {
    qf::json::Reader reader(json);
    std::vector<char> out(json.size() + ContentWriter::kPieceBytes, '?');
    ContentWriter writer(kSeedState, out.data());
    if (auto read = reader.read_string_pieces(writer); !read) {
        return {read.error().display()};
    }
    char* const end = writer.finish();
    return {std::string(out.data(), end), writer.hash(), writer.blank(), reader.index()};
}

Outcome written_in_steps(std::string_view json) {
    qf::json::Reader reader(json);
    auto read = reader.read_string();
    if (!read) {
        return {read.error().display()};
    }
    std::string text;
    qf::json::write_escaped_bytewise(text, qf::detail::trim_white_space(*read));
    return {text, qf::detail::fnv1a(kSeedState, read->data(), read->size()), qf::is_blank(*read), reader.index()};
}

// What a content may hold, as written in JSON: plain text, each escape form
// (canonical or not), ASCII and non-ASCII White_Space raw and escaped, and
// bytes that are not UTF-8 (any byte string is a valid content for the engine).
constexpr std::string_view kPieces[] = {"word",
                                        " ",
                                        "  ",
                                        "\\n",
                                        "\\t",
                                        "\\r",
                                        "\\f",
                                        "\\b",
                                        "\\\"",
                                        "\\\\",
                                        "\\/",
                                        "\\u0041",
                                        "\\u0020",
                                        "\\u000b",
                                        "\\u000B",
                                        "\\u001f",
                                        "\\u001F",
                                        "\\u0009",
                                        "\\u00e9",
                                        "\\u00a0",
                                        "\\u3000",
                                        "\\u2028",
                                        "\\u0085",
                                        "\\ud83d\\ude00",
                                        "\xc2\xa0",
                                        "\xc2\x85",
                                        "\xe3\x80\x80",
                                        "\xe2\x80\x8a",
                                        "\xe1\x9a\x80",
                                        "\xc3\xa9",
                                        "\x80",
                                        "\xe2\x80",
                                        "\xf0\x9f\x98\x80",
                                        "\x7f",
                                        "x"};

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
        ASSERT_EQ(written_in_one_pass(json), written_in_steps(json)) << testing::PrintToString(json);
    }
}

// Whitespace and escapes at every offset from the start of a piece, and a
// non-ASCII White_Space character straddling every piece edge, at both ends.
TEST(ContentWriter, AgreesWithTheStepsAtEveryOffset) {
    const std::string_view marks[] = {"\\n",
                                      "\\\"",
                                      "\\u0001",
                                      "\\u00a0",
                                      "\\u000b",
                                      "\xe3\x80\x80",
                                      "\xc2\xa0",
                                      " ",
                                      "\xe2\x80\xa9",
                                      "\\ud83d\\ude00",
                                      "\\/",
                                      "\x80"};
    for (std::string_view mark : marks) {
        for (std::size_t before = 0; before < 40; ++before) {
            for (std::size_t after : {std::size_t{0}, std::size_t{1}, std::size_t{17}}) {
                const std::string text = std::string(before, 'a') + std::string(mark) + std::string(after, 'b');
                const std::string spaces = std::string(before, ' ') + std::string(mark) + std::string(after, ' ');
                const std::string mixed = std::string(before, ' ') + std::string(mark) + "z" + std::string(mark) +
                                          std::string(after, ' ') + std::string(mark);
                for (const std::string& content : {text, spaces, mixed}) {
                    for (std::string_view close : {"\"", "\"}                              "}) {
                        const std::string json = content + std::string(close);
                        ASSERT_EQ(written_in_one_pass(json), written_in_steps(json)) << testing::PrintToString(json);
                    }
                }
            }
        }
    }
}

TEST(ContentWriter, EmptyAndBlankContents) {
    struct Case {
        std::string_view json;
        std::string_view text;
        bool blank;
    };
    const Case cases[] = {
        {"\"", "", true},
        {"   \"", "", true},
        {"\\n\\t\\r\\f \"", "", true},
        {"\\u000b\"", "", false},  // White_Space, but not blank
        {"\xc2\xa0\"", "", false},
        {" \\u0020 x \\n\"", "x", false},
        {"\\\" \"", "\\\"", false},
        {"\\u001F\\u00e9\\/\"", "\\u001f\xc3\xa9/", false},
    };
    for (const Case& c : cases) {
        const Outcome outcome = written_in_one_pass(c.json);
        EXPECT_EQ(outcome, written_in_steps(c.json)) << c.json;
        EXPECT_EQ(outcome.text, c.text) << c.json;
        EXPECT_EQ(outcome.blank, c.blank) << c.json;
    }
}

// Broken strings fail as read_string fails, whether the fault lies in a piece
// or in the text's last bytes.
TEST(ReadStringPieces, ErrorsAsReadString) {
    const std::string_view faults[] = {
        "",
        "\x01",
        "\x1f\"",
        "\\",
        "\\q\"",
        "\\u12",
        "\\u12G4\"",
        "\\ud800\"",
        "\\udc00\"",
        "\\ud800\\n\"",
        "\\ud800x",
        "\\ud800\\u0041\"",
        "\\ud800\\",
        "\\ud800\\u",
        "\n\"",
    };
    for (std::string_view fault : faults) {
        for (std::size_t before : {0, 5, 15, 16, 30}) {
            for (std::string_view after : {"", "\"                                "}) {
                const std::string json = std::string(before, 'a') + std::string(fault) + std::string(after);
                const Outcome outcome = written_in_one_pass(json);
                EXPECT_EQ(outcome, written_in_steps(json)) << testing::PrintToString(json);
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
        std::string scanned = "x";
        std::string bytewise = "x";
        qf::json::Output output;  // short texts take their own path into an Output
        output.push_back('x');
        qf::json::write_escaped(scanned, text);
        qf::json::write_escaped(output, text);
        qf::json::write_escaped_bytewise(bytewise, text);
        ASSERT_EQ(scanned, bytewise) << testing::PrintToString(text);
        ASSERT_EQ(output.view(), bytewise) << testing::PrintToString(text);
    }
}

// The fixed-point score text against the general float writer, for every score
// there is: the double nearest each k / 1e6.
TEST(WriteMillionths, EveryValueAsTheFloatWriter) {
    std::string fixed;
    std::string general;
    for (std::uint32_t k = 0; k <= 1000000; ++k) {
        fixed.clear();
        general.clear();
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
}

}  // namespace
