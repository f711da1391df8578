// The JSON writer: the rows of tests/data/writer.jsonl
// (strings, floats, integers) and values of every kind.
#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <string>

#include "quillforge/json/value.hpp"
#include "quillforge/json/writer.hpp"
#include "support.hpp"

namespace {

using qf::json::JsonArray;
using qf::json::JsonObject;
using qf::json::JsonValue;

std::string value_text(const JsonValue& value) {
    qf::json::Output out;
    qf::json::write_value(out, value);
    return out.to_string();
}

TEST(Writer, RowsOfTheDataFile) {
    for (const qf::test::Row& row : qf::test::read_rows("writer.jsonl", 3)) {
        const std::string& input = *row[1];
        std::string out;
        if (*row[0] == "string") {
            qf::json::write_string(out, input);
        } else if (*row[0] == "f64") {
            qf::json::write_f64(out, std::strtod(input.c_str(), nullptr));
            EXPECT_LE(out.size(), qf::json::kMaxFloatText) << input;
        } else if (*row[0] == "u64") {
            qf::json::write_u64(out, std::stoull(input));
        } else if (*row[0] == "i64") {
            qf::json::write_i64(out, std::stoll(input));
        }
        EXPECT_EQ(out, *row[2]) << testing::PrintToString(input);
    }
}

// Short texts go into an Output by words, longer ones and a std::string by
// scanned runs: every byte value at every place of a word, whole or cut short,
// comes out the same both ways.
TEST(WriteEscaped, ShortTextsIntoAnOutputAsIntoAString) {
    for (const std::size_t size : {1u, 3u, 4u, 5u, 7u, 8u, 9u, 16u, 17u, 31u, 32u}) {
        for (std::size_t at = 0; at < size; ++at) {
            for (int byte = 0; byte < 256; ++byte) {
                std::string text(size, '~');
                text[at] = static_cast<char>(byte);
                std::string expected;
                qf::json::write_escaped(expected, text);
                qf::json::Output out;
                qf::json::write_escaped(out, text);
                ASSERT_EQ(out.to_string(), expected) << size << " " << at << " " << byte;
            }
        }
    }
}

// A key inserted again keeps its place and takes the new value.
TEST(WriteValue, EveryKindCompactly) {
    JsonObject inner;
    inner.insert("b", JsonValue("replaced"));
    inner.insert("a", JsonValue(0.0));
    inner.insert("b", JsonValue(std::uint64_t{0}));
    EXPECT_EQ(inner.size(), 2u);
    JsonArray array{JsonValue(nullptr),
                    JsonValue(true),
                    JsonValue(false),
                    JsonValue(std::int64_t{-3}),
                    JsonValue("s"),
                    JsonValue(JsonArray{}),
                    JsonValue(JsonObject{}),
                    JsonValue(std::numeric_limits<double>::quiet_NaN()),
                    JsonValue(-std::numeric_limits<double>::infinity())};
    JsonObject root;
    root.insert("inner", JsonValue(std::move(inner)));
    root.insert("list", JsonValue(std::move(array)));
    EXPECT_EQ(value_text(JsonValue(std::move(root))),
              R"({"inner":{"b":0,"a":0.0},"list":[null,true,false,-3,"s",[],{},null,null]})");
}

}  // namespace
