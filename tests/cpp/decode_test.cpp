// decode_config and decode_lore as the engine's operations call them: the rows
// of tests/data/decode_config.jsonl and decode_lore.jsonl, and what no row can
// show (threads, truncation at every length).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/decode_record.hpp"
#include "quillforge/codec.hpp"
#include "support.hpp"

namespace {

using qf::test::cat;
using qf::test::config_outcome;

std::string lore_outcome(std::string_view text) {
    return qf::test::outcome(qf::decode_lore(text), [](const qf::NarrativeLore& lore) {
        std::string out = cat(lore.id, " | ", lore.title);
        for (const qf::NarrativeBlock& block : lore.blocks) {
            out += cat(" | ", block.id, ": ", block.content);
        }
        return out;
    });
}

// The compact form is read at one look per run of fixed bytes: every text must
// give what the token steps give.
TEST(DecodeConfig, RowsOfTheDataFile) {
    for (const qf::test::Row& row : qf::test::read_rows("decode_config.jsonl", 2)) {
        EXPECT_EQ(config_outcome(qf::decode_config(*row[0])), *row[1]) << testing::PrintToString(*row[0]);
        EXPECT_EQ(config_outcome(qf::detail::decode_config_by_tokens(*row[0])), *row[1]) << *row[0];
    }
}

// decode_config keeps the last text each thread decoded (the data file's last
// rows change it byte by byte): every thread must decode its own texts.
TEST(DecodeConfig, LastTextKeptPerThread) {
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (std::uint64_t t = 0; t < 4; ++t) {
        threads.emplace_back([t, &wrong] {
            // Empty, as nothing kept yet is: still read, not taken for the kept text.
            wrong += config_outcome(qf::decode_config("")) == "EOF while parsing a value at line 1 column 0" ? 0 : 1;
            for (std::uint64_t i = 0; i < 2000; ++i) {
                const std::string seed = std::to_string(t * 10 + i % 3);
                const auto config =
                    qf::decode_config(cat(R"({"temperature":1.5,"max_candidates":9,"seed":)", seed, "}"));
                wrong += config_outcome(config) == cat("1.5 9 ", seed) ? 0 : 1;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

TEST(DecodeLore, RowsOfTheDataFile) {
    for (const qf::test::Row& row : qf::test::read_rows("decode_lore.jsonl", 2)) {
        EXPECT_EQ(lore_outcome(*row[0]), *row[1]) << testing::PrintToString(*row[0]);
    }
    // A decoded text owns its bytes: the input may go away.
    std::string text = R"(["l1","raw text",[]])";
    auto owned = qf::decode_lore(text);
    text.assign(text.size(), '#');
    ASSERT_TRUE(owned);
    EXPECT_EQ(owned->title, "raw text");
}

// Every proper prefix of a valid text fails at its end with an end-of-text error.
TEST(DecodeLore, EveryTruncationFailsAtTheEnd) {
    const std::string_view texts[] = {
        R"({"id":"l\u00e91","title":"T \"q\" \ud83d\ude00","blocks":[{"id":"b1","content":"x"},)"
        R"(["b2","y\n"]],"extra":[1,{"a":"\u0041","b":[true,false,null]},"s\\"]})",
        R"(["l1","T",[["b1","x"],{"content":"c","id":"i"}]])",
    };
    const std::string_view allowed[] = {"EOF while parsing a value",
                                        "EOF while parsing a list",
                                        "EOF while parsing an object",
                                        "EOF while parsing a string",
                                        "invalid number"};
    for (const std::string_view text : texts) {
        ASSERT_TRUE(qf::decode_lore(text)) << text;
        for (std::size_t length = 0; length < text.size(); ++length) {
            // An exact-size copy, so that reading past its end is caught by the sanitizers.
            const std::vector<char> prefix(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(length));
            auto decoded = qf::decode_lore(std::string_view(prefix.data(), prefix.size()));
            ASSERT_FALSE(decoded) << text.substr(0, length);
            EXPECT_NE(std::ranges::find(allowed, decoded.error().message), std::end(allowed))
                << decoded.error().display();
            EXPECT_EQ(decoded.error().display().substr(decoded.error().message.size()),
                      cat(" at line 1 column ", std::to_string(length)));
        }
    }
}

}  // namespace
