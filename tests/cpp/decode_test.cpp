// decode_config and decode_lore as the engine's operations call them: records,
// and the exact display text of every failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/decode_record.hpp"
#include "quillforge/codec.hpp"

namespace {

struct Case {
    std::string_view input;
    std::string_view expected;  // display text of the error
};

std::string config_error(std::string_view text) {
    auto decoded = qf::decode_config(text);
    return decoded ? "decoded" : decoded.error().display();
}

std::string lore_error(std::string_view text) {
    auto decoded = qf::decode_lore(text);
    return decoded ? "decoded" : decoded.error().display();
}

void expect_config(std::string_view text, double temperature, std::uint32_t max_candidates, std::uint64_t seed) {
    auto decoded = qf::decode_config(text);
    ASSERT_TRUE(decoded) << text << ": " << decoded.error().display();
    EXPECT_EQ(decoded->temperature, temperature) << text;
    EXPECT_EQ(decoded->max_candidates, max_candidates) << text;
    EXPECT_EQ(decoded->seed, seed) << text;
}

TEST(DecodeConfig, AcceptedForms) {
    expect_config(R"({"temperature":0.7,"max_candidates":3,"seed":42})", 0.7, 3, 42);
    expect_config("[0.7,3,42]", 0.7, 3, 42);
    expect_config(R"({"seed":42,"max_candidates":3,"temperature":0.7,"note":[1,{"a":null}]})", 0.7, 3, 42);
    expect_config(R"({"temperature":1,"max_candidates":3,"seed":42})", 1.0, 3, 42);
    expect_config(" \t\r\n[ 0.7 , 3 , 42 ] \n  ", 0.7, 3, 42);
    // The key is compared after its escapes are decoded.
    expect_config(R"({"te\u006dperature":0.5,"max_candidates":3,"seed":1})", 0.5, 3, 1);
    // Repeated keys that name no field are fine.
    expect_config(R"({"x":1,"x":2,"temperature":0.5,"max_candidates":3,"seed":1,"x":[]})", 0.5, 3, 1);
    expect_config(R"({"temperature":0.5,"max_candidates":4294967295,"seed":18446744073709551615})",
                  0.5,
                  4294967295u,
                  18446744073709551615u);
    expect_config(R"({"temperature":-1,"max_candidates":0,"seed":0})", -1.0, 0, 0);
    expect_config(R"({"temperature":100000000000000000000,"max_candidates":0,"seed":0})", 1e20, 0, 0);
    expect_config(R"({"temperature":0.7,"max_candidates":1,"seed":1,"x":1e999})", 0.7, 1, 1);
    expect_config(R"({"temperature":0.7,"max_candidates":1,"seed":1,"x":"\ud800"})", 0.7, 1, 1);
    expect_config(R"({"temperature":0.7,"max_candidates":1,"seed":1,"x":"\udc00\ud800x"})", 0.7, 1, 1);
    expect_config("{\"temperature\":0.7,\"max_candidates\":1,\"seed\":1}\n   ", 0.7, 1, 1);
}

// decode_config reads the compact form at one look per run of fixed bytes;
// every text near that form must give what the token steps give.
TEST(DecodeConfig, CompactFormAgreesWithTheTokenSteps) {
    const std::string_view texts[] = {
        R"({"temperature":0.7,"max_candidates":3,"seed":42})",
        R"({"temperature":-0.0,"max_candidates":0,"seed":0})",
        R"({"temperature":2,"max_candidates":4294967295,"seed":18446744073709551615})",
        R"({"temperature":2,"max_candidates":4294967296,"seed":1})",
        R"({"temperature":2,"max_candidates":1,"seed":18446744073709551616})",
        R"({"temperature":2,"max_candidates":-1,"seed":1})",
        R"({"temperature":2,"max_candidates":1.0,"seed":1})",
        R"({"temperature":2,"max_candidates":1,"seed":1e3})",
        R"({"temperature":2,"max_candidates":1,"seed":-5})",
        R"({"temperature":1e999,"max_candidates":1,"seed":1})",
        R"({"temperature":01,"max_candidates":1,"seed":1})",
        R"({"temperature":"0.7","max_candidates":1,"seed":1})",
        R"({"temperature": 0.7,"max_candidates":1,"seed":1})",
        R"({"temperature":0.7 ,"max_candidates":1,"seed":1})",
        R"({"temperature":0.7,"max_candidates":1,"seed":1 })",
        R"({"temperature":0.7,"max_candidates":1,"seed":1} )",
        R"({"temperature":0.7,"max_candidates":1,"seed":1}x)",
        R"({"temperature":0.7,"max_candidates":1,"seed":1,"x":2})",
        R"({"temperature":0.7,"max_candidates":1,"seed":1,"seed":2})",
        R"({"temperature":0.7,"max_candidates":1,"seed":1)",
        R"({"temperature":0.7,"max_candidates":1,"seed":)",
        R"({"temperature":0.7,"max_candidates":1,"seed")",
        R"({"temperature":-,"max_candidates":1,"seed":1})",
        R"({"temperature":0.7,"seed":1,"max_candidates":1})",
        R"({"temperature":0.7})",
    };
    const auto outcome = [](const qf::Result<qf::LabConfig, qf::json::JsonError>& config) {
        return config ? std::to_string(std::bit_cast<std::uint64_t>(config->temperature)) + " " +
                            std::to_string(config->max_candidates) + " " + std::to_string(config->seed)
                      : config.error().display();
    };
    for (std::string_view text : texts) {
        EXPECT_EQ(outcome(qf::decode_config(text)), outcome(qf::detail::decode_config_by_tokens(text))) << text;
    }
}

// decode_config keeps the last text each thread decoded: a text that differs in
// any byte, or fails, must still be decoded, in every thread on its own.
TEST(DecodeConfig, LastTextKeptPerThread) {
    const std::string base = R"({"temperature":0.7,"max_candidates":3,"seed":42})";
    for (int round = 0; round < 2; ++round) {
        expect_config(base, 0.7, 3, 42);
        std::string changed = base;
        changed[changed.size() - 2] = '3';
        expect_config(changed, 0.7, 3, 43);
        EXPECT_EQ(config_error(base.substr(0, base.size() - 1)), "EOF while parsing an object at line 1 column 47");
        expect_config(base + " ", 0.7, 3, 42);
    }
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (std::uint64_t t = 0; t < 4; ++t) {
        threads.emplace_back([t, &wrong] {
            for (std::uint64_t i = 0; i < 2000; ++i) {
                const std::uint64_t seed = t * 10 + i % 3;
                auto config =
                    qf::decode_config(R"({"temperature":1.5,"max_candidates":9,"seed":)" + std::to_string(seed) + "}");
                wrong += !config || config->seed != seed || config->temperature != 1.5 ? 1 : 0;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

TEST(DecodeConfig, Errors) {
    const Case cases[] = {
        // Structure and fields.
        {R"({"temperature":0.7,"max_candidates":3})", "missing field `seed` at line 1 column 38"},
        {"{}", "missing field `temperature` at line 1 column 2"},
        {"{ }  ", "missing field `temperature` at line 1 column 3"},
        {R"({"temperature":0.7,"max_candidates":1.0,"seed":1})",
         "invalid type: floating point `1.0`, expected u32 at line 1 column 39"},
        {R"({"temperature":0.7,"max_candidates":5000000000,"seed":1})",
         "invalid value: integer `5000000000`, expected u32 at line 1 column 46"},
        {R"({"temperature":0.7,"max_candidates":-1,"seed":1})",
         "invalid value: integer `-1`, expected u32 at line 1 column 38"},
        {R"({"temperature":0.7,"max_candidates":3,"seed":-1})",
         "invalid value: integer `-1`, expected u64 at line 1 column 47"},
        {R"({"temperature":[1],"max_candidates":3,"seed":1})",
         "invalid type: sequence, expected f64 at line 1 column 15"},
        {R"({"temperature":{"a":1},"max_candidates":3,"seed":1})",
         "invalid type: map, expected f64 at line 1 column 15"},
        {R"({"seed":1,"seed":2})", "duplicate field `seed` at line 1 column 16"},
        {R"({"seed":1,"seed"})", "duplicate field `seed` at line 1 column 17"},
        {R"({"seed":1,"seed" :2})", "duplicate field `seed` at line 1 column 17"},
        {R"({"seed":1,"seed"  })", "duplicate field `seed` at line 1 column 19"},
        {R"({"seed":1,"seed":1})", "duplicate field `seed` at line 1 column 16"},
        // The duplicate wins over what a later member would have reported.
        {R"({"seed":1,"seed":"x","max_candidates":-1})", "duplicate field `seed` at line 1 column 16"},
        {R"({"seed":1,"seed")", "duplicate field `seed` at line 1 column 16"},
        {"[0.7,3]", "invalid length 2, expected struct LabConfig with 3 elements at line 1 column 7"},
        {"[]", "invalid length 0, expected struct LabConfig with 3 elements at line 1 column 2"},
        {"[0.7,3,42,1]", "trailing characters at line 1 column 11"},
        {"[0.7,3,42,]", "trailing comma at line 1 column 11"},
        {"[0.7,3,42,", "trailing characters at line 1 column 10"},
        {"[0.7,3,42,  ", "trailing characters at line 1 column 12"},
        {"[0.7,3,42 x", "trailing characters at line 1 column 11"},
        {"[0.7,3,42", "EOF while parsing a list at line 1 column 9"},
        {"[0.7,3,", "EOF while parsing a value at line 1 column 7"},
        {"[0.7,3,]", "trailing comma at line 1 column 8"},
        {"[0.7 3]", "expected `,` or `]` at line 1 column 6"},
        {"[", "EOF while parsing a list at line 1 column 1"},
        {"[0.7,", "EOF while parsing a value at line 1 column 5"},
        {"null", "invalid type: null, expected struct LabConfig at line 1 column 4"},
        {"true", "invalid type: boolean `true`, expected struct LabConfig at line 1 column 4"},
        {" false ", "invalid type: boolean `false`, expected struct LabConfig at line 1 column 6"},
        {"12", "invalid type: integer `12`, expected struct LabConfig at line 1 column 2"},
        {R"("cfg")", R"(invalid type: string "cfg", expected struct LabConfig at line 1 column 5)"},
        {"nul", "EOF while parsing a value at line 1 column 3"},
        {"nulx", "expected ident at line 1 column 4"},
        {"x", "expected value at line 1 column 1"},
        {R"({"temperature":0.7,"max_candidates":3,"seed":42} x)", "trailing characters at line 1 column 50"},
        {"", "EOF while parsing a value at line 1 column 0"},
        {"   ", "EOF while parsing a value at line 1 column 3"},
        {"\n\n", "EOF while parsing a value at line 3 column 0"},
        // Values of the wrong kind.
        {R"({"temperature":"warm","max_candidates":3,"seed":1})",
         R"(invalid type: string "warm", expected f64 at line 1 column 21)"},
        {R"({"temperature":0.5,"max_candidates":3,"seed":true})",
         "invalid type: boolean `true`, expected u64 at line 1 column 49"},
        {R"({"temperature":0.5,"max_candidates":null,"seed":1})",
         "invalid type: null, expected u32 at line 1 column 40"},
        {R"({"temperature":0.5,"max_candidates":"3","seed":1})",
         R"(invalid type: string "3", expected u32 at line 1 column 39)"},
        {R"({"temperature":0.5,"max_candidates":[3],"seed":1})",
         "invalid type: sequence, expected u32 at line 1 column 36"},
        {R"({"temperature":0.5,"max_candidates":3,"seed":{}})", "invalid type: map, expected u64 at line 1 column 45"},
        {R"({"temperature":x})", "expected value at line 1 column 16"},
        {R"({"temperature":"unterminated)", "EOF while parsing a string at line 1 column 28"},
        {R"({"temperature":nan})", "expected ident at line 1 column 17"},
        // Integers of the wrong class or range.
        {R"({"temperature":0.5,"max_candidates":3.0,"seed":1})",
         "invalid type: floating point `3.0`, expected u32 at line 1 column 39"},
        {R"({"temperature":0.5,"max_candidates":3e0,"seed":1})",
         "invalid type: floating point `3.0`, expected u32 at line 1 column 39"},
        {R"({"temperature":0.5,"max_candidates":-0,"seed":1})",
         "invalid type: floating point `-0.0`, expected u32 at line 1 column 38"},
        {R"({"temperature":0.5,"max_candidates":4294967296,"seed":1})",
         "invalid value: integer `4294967296`, expected u32 at line 1 column 46"},
        {R"({"temperature":0.5,"max_candidates":100000000000000000000,"seed":1})",
         "invalid type: floating point `1e+20`, expected u32 at line 1 column 57"},
        {R"({"temperature":0.5,"max_candidates":1,"seed":18446744073709551616})",
         "invalid type: floating point `1.8446744073709552e+19`, expected u64 at line 1 column 65"},
        {R"({"temperature":0.5,"max_candidates":1,"seed":-9223372036854775808})",
         "invalid value: integer `-9223372036854775808`, expected u64 at line 1 column 65"},
        {R"({"temperature":0.5,"max_candidates":1,"seed":-9223372036854775809})",
         "invalid type: floating point `-9.223372036854776e+18`, expected u64 at line 1 column 65"},
        {R"({"temperature":0.5,"max_candidates":1,"seed":1e2})",
         "invalid type: floating point `100.0`, expected u64 at line 1 column 48"},
        // Keys are case-sensitive: Seed names no field.
        {R"({"temperature":0.5,"max_candidates":1,"Seed":1})", "missing field `seed` at line 1 column 47"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(config_error(c.input), c.expected) << c.input;
    }
}

// The JSON syntax errors as a whole configuration text meets them.
TEST(DecodeConfig, SyntaxErrors) {
    const Case cases[] = {
        {R"({"temperature")", "EOF while parsing an object at line 1 column 14"},
        {R"({"temperature":0.7,)", "EOF while parsing a value at line 1 column 19"},
        {R"({"temperature" 0.7})", "expected `:` at line 1 column 16"},
        {R"({"temperature":0.7 "seed":1})", "expected `,` or `}` at line 1 column 20"},
        {R"({"temperature":0.7,})", "trailing comma at line 1 column 20"},
        {R"({temperature:0.7})", "key must be a string at line 1 column 2"},
        {R"({"temperature":0.7,x})", "key must be a string at line 1 column 20"},
        {R"({"temperature":+1})", "expected value at line 1 column 16"},
        {R"({"temperature":.5})", "expected value at line 1 column 16"},
        {R"({"temperature":01})", "invalid number at line 1 column 17"},
        {R"({"temperature":1.})", "invalid number at line 1 column 18"},
        {R"({"temperature":1e})", "invalid number at line 1 column 18"},
        {R"({"temperature":1e+})", "invalid number at line 1 column 19"},
        {R"({"temperature":-})", "invalid number at line 1 column 17"},
        {R"({"temperature":-)", "EOF while parsing a value at line 1 column 16"},
        {R"({"temperature":1.)", "EOF while parsing a value at line 1 column 17"},
        {R"({"temperature":1e-)", "EOF while parsing a value at line 1 column 18"},
        {R"({"temperature":12x})", "expected `,` or `}` at line 1 column 18"},
        {R"({"temperature":1e309,"max_candidates":1,"seed":1})", "number out of range at line 1 column 20"},
        {R"({"temperature":0.7,"max_candidates":1,"seed":1,"x":tru})", "expected ident at line 1 column 55"},
        {R"({"temperature":0.7,"max_candidates":1,"seed":1,"x":[1,]})", "expected value at line 1 column 55"},
        {R"({"temperature":0.7,"max_candidates":1,"seed":1,"x":{"a":1,}})", "key must be a string at line 1 column 59"},
        {R"({"temperature":0.7,"max_candidates":1,"seed":1,"x":"\q"})", "invalid escape at line 1 column 54"},
        {R"({"temperature":0.7)", "EOF while parsing an object at line 1 column 18"},
        {"{", "EOF while parsing an object at line 1 column 1"},
        {R"({"temperature":)", "EOF while parsing a value at line 1 column 15"},
        {R"({"temperature" )", "EOF while parsing an object at line 1 column 15"},
        {"{\"temperature\":0.7,\"max_candidates\":1,\"seed\":1}\f", "trailing characters at line 1 column 48"},
        {"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
        {"{\"temperature\":\xC3\xA9}", "expected value at line 1 column 16"},
        {"{\"temperature\"\xC2\xA0:1}", "expected `:` at line 1 column 15"},
        {"{\"temperature\":\v1}", "expected value at line 1 column 16"},
        {std::string_view("{\0}", 3), "key must be a string at line 1 column 2"},
        {std::string_view("[0.7,3,42]\0", 11), "trailing characters at line 1 column 11"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(config_error(c.input), c.expected) << c.input;
    }
}

// Lines end at line feeds only; columns count bytes from the line's start.
TEST(DecodeConfig, PositionsOnLaterLines) {
    const Case cases[] = {
        {"{\n  \"temperature\": 0.7,\n  \"max_candidates\": x,\n  \"seed\": 1\n}",
         "expected value at line 3 column 21"},
        {"{\r\n  \"temperature\": 0.7,\r\n  \"max_candidates\": x,\r\n  \"seed\": 1\r\n}",
         "expected value at line 3 column 21"},
        {"{\r\n  \"temperature\": 0.7,\r\n  \"max_candidates\": 3\r\n}", "missing field `seed` at line 4 column 1"},
        {"{\n  \"temperature\": 0.7,\n  \"max_candidates\": 3,\n  \"seed\": \"42\"\n}",
         "invalid type: string \"42\", expected u64 at line 4 column 14"},
        {"{\n \"x\": \"\xC3\xA9\xC3\xA9\",\n \"temperature\": \xE2\x82\xAC}", "expected value at line 3 column 17"},
        {"{\"temperature\":0.7,\n\"max_candidates\":3,\n\"seed\":1}\n\n x", "trailing characters at line 5 column 2"},
        {"{\"temperature\":0.7,\n\n", "EOF while parsing a value at line 3 column 0"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(config_error(c.input), c.expected) << c.input;
    }
}

TEST(DecodeLore, Records) {
    auto empty = qf::decode_lore(R"({"id":"l1","title":"T","blocks":[]})");
    ASSERT_TRUE(empty) << empty.error().display();
    EXPECT_EQ(empty->id, "l1");
    EXPECT_EQ(empty->title, "T");
    EXPECT_TRUE(empty->blocks.empty());

    auto array = qf::decode_lore(R"(["l1","T",[["b1","x"]]])");
    ASSERT_TRUE(array) << array.error().display();
    EXPECT_EQ(array->id, "l1");
    EXPECT_EQ(array->title, "T");
    ASSERT_EQ(array->blocks.size(), 1u);
    EXPECT_EQ(array->blocks[0].id, "b1");
    EXPECT_EQ(array->blocks[0].content, "x");

    // Mixed forms, escapes, and a U+0000 inside a text.
    auto mixed = qf::decode_lore(
        R"({"blocks":[{"content":"a\u0000b","id":"b1"},["b2","\/\"\\\b\f\n\r\t\u00e9\ud83d\ude00"]],"title":"T","id":"l"})");
    ASSERT_TRUE(mixed) << mixed.error().display();
    ASSERT_EQ(mixed->blocks.size(), 2u);
    EXPECT_EQ(mixed->blocks[0].content, std::string("a\0b", 3));
    EXPECT_EQ(mixed->blocks[1].content, "/\"\\\b\f\n\r\t\xC3\xA9\xF0\x9F\x98\x80");

    // A decoded text owns its bytes: the input may go away.
    std::string text = R"(["l1","raw text",[]])";
    auto owned = qf::decode_lore(text);
    text.assign(text.size(), '#');
    ASSERT_TRUE(owned);
    EXPECT_EQ(owned->title, "raw text");
}

TEST(DecodeLore, Errors) {
    const Case cases[] = {
        {R"({"id":"l1","title":"T","blocks":null})", "invalid type: null, expected a sequence at line 1 column 36"},
        {R"({"id":"l1","title":"T","blocks":{}})", "invalid type: map, expected a sequence at line 1 column 32"},
        {R"({"id":"l1","title":"T","blocks":[{"id":"b1"}]})", "missing field `content` at line 1 column 44"},
        {R"({"id":"l1","title":"T","blocks":[["b1","x","y"]]})", "trailing characters at line 1 column 44"},
        {R"({"id":"l1","title":"T","blocks":[["b1"]]})",
         "invalid length 1, expected struct NarrativeBlock with 2 elements at line 1 column 39"},
        {R"({"id":"l1","title":"T","blocks":[1]})",
         "invalid type: integer `1`, expected struct NarrativeBlock at line 1 column 34"},
        {R"({"id":"l1","title":"T","blocks":[{"id":"b","content":"c"},]})", "trailing comma at line 1 column 59"},
        {R"({"id":"l1","title":"T","blocks":[{"id":"b","content":"c"} {}]})",
         "expected `,` or `]` at line 1 column 59"},
        {R"({"id":"l1","title":"T","blocks":[)", "EOF while parsing a list at line 1 column 33"},
        {R"({"id":"l1","title":"T","blocks":[{"id":"b","content":"c","id":"d"}]})",
         "duplicate field `id` at line 1 column 61"},
        {R"({"id":"l1","title":7,"blocks":[]})", "invalid type: integer `7`, expected a string at line 1 column 20"},
        {R"({"id":["l1"],"title":"T","blocks":[]})", "invalid type: sequence, expected a string at line 1 column 6"},
        {R"(["l1","T"])", "invalid length 2, expected struct NarrativeLore with 3 elements at line 1 column 10"},
        {R"({"id":"l1","blocks":[]})", "missing field `title` at line 1 column 23"},
        {R"("lore")", R"(invalid type: string "lore", expected struct NarrativeLore at line 1 column 6)"},
        // Surrogates in decoded strings.
        {R"({"id":"l1","title":"\ud800","blocks":[]})", "unexpected end of hex escape at line 1 column 27"},
        {R"({"id":"l1","title":"\ud800\u0041","blocks":[]})",
         "lone leading surrogate in hex escape at line 1 column 32"},
        {R"({"id":"l1","title":"\udc00","blocks":[]})", "lone leading surrogate in hex escape at line 1 column 26"},
        {R"({"id":"l1","title":"\ud800\ud800","blocks":[]})",
         "lone leading surrogate in hex escape at line 1 column 32"},
        {R"({"id":"l1","title":"\ud800\n","blocks":[]})", "unexpected end of hex escape at line 1 column 28"},
        {R"({"id":"l1","title":"\ud800x","blocks":[]})", "unexpected end of hex escape at line 1 column 27"},
        {"{\"id\":\"l1\",\"title\":\"a\nb\",\"blocks\":[]}",
         "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
        {"{\"id\":\"l1\",\"title\":\"a\tb\",\"blocks\":[]}",
         "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 22"},
        {std::string_view("{\"id\":\"l\0\"", 10),
         "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 9"},
        {R"({"id":"l1","title":"\x","blocks":[]})", "invalid escape at line 1 column 22"},
        {R"({"id":"l1","title":"\u12G4","blocks":[]})", "invalid escape at line 1 column 26"},
        {R"({"id":"l1","title":"\uZ234","blocks":[]})", "invalid escape at line 1 column 26"},
        {R"({"id":"l1","title":"\u12")", "EOF while parsing a string at line 1 column 25"},
        {R"({"id":"l1","title":"\)", "EOF while parsing a string at line 1 column 21"},
        {R"({"id":"l1","title":"\ud800)", "EOF while parsing a string at line 1 column 26"},
        {R"({"id":"l1","title":"\ud800\)", "EOF while parsing a string at line 1 column 27"},
        {R"({"id":"l1","title":"\ud800\u12)", "EOF while parsing a string at line 1 column 30"},
        {R"({"id":"l1","title":"\ud800\u12x4")", "invalid escape at line 1 column 32"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(lore_error(c.input), c.expected) << c.input;
    }
}

// The quoted form of a string found where another kind belongs.
TEST(DecodeLore, QuotedFormOfStringsFound) {
    const Case cases[] = {
        {R"("a\"b\\c\td\ne\rf\u0000g'h")", R"("a\"b\\c\td\ne\rf\0g'h")"},
        {R"("\u0001\u001f\u007f\u0080 ~")", R"("\u{1}\u{1f}\u{7f}\u{80} ~")"},
        // Not printable: Cf, Zs other than space, Zl, Zp, Co, Cn.
        {R"("\u00ad\u00a0\u3000\u2028\u2029\ue000\u0378\udb40\udc20")",
         R"("\u{ad}\u{a0}\u{3000}\u{2028}\u{2029}\u{e000}\u{378}\u{e0020}")"},
        // Grapheme_Extend: Mn, Me and Other_Grapheme_Extend (ZWNJ, a spacing mark, a halfwidth mark).
        {R"("e\u0301\u20dd\u200c\u09be\uff9e")", R"("e\u{301}\u{20dd}\u{200c}\u{9be}\u{ff9e}")"},
        // Printable, written unchanged, including characters new in Unicode 15.1.
        {R"("\u00e9\u4e2d\ud83d\ude00\u2ffc\ud87a\udff0")",
         "\"\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\xE2\xBF\xBC\xF0\xAE\xAF\xB0\""},
        {"\"\xC3\xA9 raw\"", "\"\xC3\xA9 raw\""},
        // Malformed bytes are copied one by one; a real U+FFFD is printable.
        {"\"\x80\xC2x\xED\xA0\x80\xF4\x90\x80\x80\xEF\xBF\xBD\xC2\x80\"",
         "\"\x80\xC2x\xED\xA0\x80\xF4\x90\x80\x80\xEF\xBF\xBD\\u{80}\""},
    };
    for (const Case& c : cases) {
        auto decoded = qf::decode_config(R"({"temperature":)" + std::string(c.input) + "}");
        ASSERT_FALSE(decoded) << c.input;
        const std::string expected = "invalid type: string " + std::string(c.expected) + ", expected f64";
        EXPECT_EQ(decoded.error().message, expected) << c.input;
        EXPECT_EQ(decoded.error().column, 15 + c.input.size()) << c.input;
    }
}

// Every proper prefix of a valid text fails at its end with an end-of-text error.
TEST(DecodeLore, EveryTruncationFailsAtTheEnd) {
    const std::string_view texts[] = {
        R"({"id":"l\u00e91","title":"T \"q\" \ud83d\ude00","blocks":[{"id":"b1","content":"x"},)"
        R"(["b2","y\n"]],"extra":[1,{"a":"\u0041","b":[true,false,null]},"s\\"]})",
        R"(["l1","T",[["b1","x"],{"content":"c","id":"i"}]])",
    };
    const std::vector<std::string_view> allowed = {"EOF while parsing a value",
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
            EXPECT_NE(std::find(allowed.begin(), allowed.end(), decoded.error().message), allowed.end())
                << text.substr(0, length) << ": " << decoded.error().display();
            EXPECT_EQ(decoded.error().line, 1u);
            EXPECT_EQ(decoded.error().column, length) << text.substr(0, length);
        }
    }
}

TEST(DecodeLore, ManyBlocks) {
    std::string text = R"({"id":"l","title":"t","blocks":[)";
    constexpr int kBlocks = 100000;
    for (int i = 0; i < kBlocks; ++i) {
        text += (i == 0 ? R"({"id":"b)" : R"(,{"id":"b)");
        text += std::to_string(i);
        text += R"(","content":"some words here"})";
    }
    text += "]}";
    auto decoded = qf::decode_lore(text);
    ASSERT_TRUE(decoded) << decoded.error().display();
    ASSERT_EQ(decoded->blocks.size(), static_cast<std::size_t>(kBlocks));
    EXPECT_EQ(decoded->blocks.back().id, "b99999");
}

}  // namespace
