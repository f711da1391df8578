#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "quillforge/codec.hpp"
#include "quillforge/json/value.hpp"
#include "quillforge/json/writer.hpp"

namespace {

using qf::json::JsonArray;
using qf::json::JsonObject;
using qf::json::JsonValue;

std::string string_text(std::string_view text) {
    std::string out;
    qf::json::write_string(out, text);
    return out;
}

std::string value_text(const JsonValue& value) {
    std::string out;
    qf::json::write_value(out, value);
    return out;
}

TEST(WriteString, Escapes) {
    struct Case {
        std::string_view input;
        std::string_view expected;
    };
    using namespace std::string_view_literals;
    const Case cases[] = {
        {"", R"("")"},
        {"plain", R"("plain")"},
        {"\"\\\t\x01/", R"("\"\\\t\u0001/")"},
        {"\b\f\n\r", R"("\b\f\n\r")"},
        {"\x1b\x1f\x0b", R"("\u001b\u001f\u000b")"},
        {"a\0b"sv, R"("a\u0000b")"},
        {"\x7f", "\"\x7f\""},
        {"caf\xc3\xa9 \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xf0\x9f\x98\x80\""},
        {"\xe2\x80\xa8\xe2\x80\xa9", "\"\xe2\x80\xa8\xe2\x80\xa9\""},
        {"line\nand \"quote\"", R"("line\nand \"quote\"")"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(string_text(c.input), c.expected) << "input: " << c.input;
    }
}

TEST(WriteString, AppendsToExistingText) {
    std::string out = "x:";
    qf::json::write_string(out, "y");
    EXPECT_EQ(out, R"(x:"y")");
}

TEST(WriteInteger, ExtremesAndZero) {
    std::string out;
    qf::json::write_u64(out, 0);
    out += ' ';
    qf::json::write_u64(out, 42);
    out += ' ';
    qf::json::write_u64(out, std::numeric_limits<std::uint64_t>::max());
    out += ' ';
    qf::json::write_i64(out, -1);
    out += ' ';
    qf::json::write_i64(out, std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(out, "0 42 18446744073709551615 -1 -9223372036854775808");
}

TEST(WriteValue, EveryKindCompactly) {
    JsonObject inner;
    inner.insert("b", JsonValue(std::uint64_t{0}));
    inner.insert("a", JsonValue(0.0));
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

TEST(WriteValue, ReinsertedKeyKeepsItsPlace) {
    JsonObject object;
    object.insert("first", JsonValue(std::uint64_t{1}));
    object.insert("second", JsonValue(std::uint64_t{2}));
    object.insert("first", JsonValue("replaced"));
    EXPECT_EQ(object.size(), 2u);
    EXPECT_EQ(value_text(JsonValue(std::move(object))), R"({"first":"replaced","second":2})");
}

TEST(EncodeRecords, BlockAndCandidate) {
    EXPECT_EQ(qf::encode_block({"b1", "hi"}), R"({"id":"b1","content":"hi"})");
    EXPECT_EQ(qf::encode_block({" b1 ", "say \"hi\"\n"}), R"({"id":" b1 ","content":"say \"hi\"\n"})");

    struct Case {
        double score;
        std::string_view expected;
    };
    const Case cases[] = {
        {0.121873, "0.121873"},
        {0.5, "0.5"},
        {1.0, "1.0"},
        {0.0, "0.0"},
        {std::numeric_limits<double>::quiet_NaN(), "null"},
        {std::numeric_limits<double>::infinity(), "null"},
    };
    for (const Case& c : cases) {
        const qf::HybridCandidate candidate{"candidate-x-1", {"x:hybrid", "a b"}, c.score, "why"};
        EXPECT_EQ(qf::encode_candidate(candidate),
                  std::string(R"({"id":"candidate-x-1","block":{"id":"x:hybrid","content":"a b"},"score":)") +
                      std::string(c.expected) + R"(,"rationale":"why"})");
    }
}

}  // namespace
