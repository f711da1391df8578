// The reader below the record decoders: the string scan, strings, skipped
// values of any depth, and the nesting budget.
#include <gtest/gtest.h>
#include <pthread.h>

#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "quillforge/codec.hpp"
#include "quillforge/json/detail/string_scan.hpp"
#include "quillforge/json/reader.hpp"

namespace {

using qf::json::Reader;

template <class... Pieces>
std::string cat(const Pieces&... pieces) {
    std::string out;
    (out.append(std::string_view(pieces)), ...);
    return out;
}

// Every scan variant over [begin, end) must stop where the byte-by-byte scan does.
void expect_scans_agree(const char* begin, const char* end) {
    namespace d = qf::json::detail;
    const char* expected = d::find_string_stop_bytewise(begin, end);
    ASSERT_EQ(d::find_string_stop_portable(begin, end), expected);
#if defined(__SSE2__)
    ASSERT_EQ(d::find_string_stop_sse2(begin, end), expected);
#endif
    ASSERT_EQ(d::find_string_stop(begin, end), expected);
    // The first look settles a stop within its reach and gives up beyond it.
#if defined(__SSE2__)
    constexpr std::ptrdiff_t kLook = 16;
#else
    constexpr std::ptrdiff_t kLook = 8;
#endif
    const bool reached = expected != end && expected - begin < kLook;
    ASSERT_EQ(d::find_string_stop_near(begin, end), reached ? expected : nullptr);
}

TEST(StringScan, AgreesWithByteByByteScan) {
    // Bytes next to the stop bytes in value, so that near misses are tried too.
    const unsigned char plain[] = {0x20, 0x21, 0x23, 0x5B, 0x5D, 0x7F, 0x80, 0x9F, 0xA2, 0xDC, 0xFF, 'a'};
    const unsigned char stops[] = {'"', '\\', 0x00, 0x01, 0x0A, 0x1F};
    std::mt19937 random(7);
    for (std::size_t length = 0; length <= 80; ++length) {
        // Exactly `length` bytes on the heap: a read past the end is caught by the sanitizers.
        std::unique_ptr<char[]> buffer(new char[length]);
        for (std::size_t stop_at = 0; stop_at <= length; ++stop_at) {
            for (const unsigned char stop : stops) {
                for (std::size_t i = 0; i < length; ++i) {
                    buffer[i] = static_cast<char>(plain[random() % sizeof plain]);
                }
                if (stop_at < length) {
                    buffer[stop_at] = static_cast<char>(stop);
                    // A second stop later must not win.
                    if (stop_at + 1 < length && random() % 2 == 0) {
                        buffer[stop_at + 1 + random() % (length - stop_at - 1)] = static_cast<char>(stops[0]);
                    }
                }
                for (std::size_t start = 0; start <= length && start <= 17; ++start) {
                    expect_scans_agree(buffer.get() + start, buffer.get() + length);
                }
            }
        }
    }
}

TEST(StringScan, AgreesOnRandomBytes) {
    std::mt19937 random(11);
    for (int round = 0; round < 20000; ++round) {
        const std::size_t length = random() % 200;
        std::unique_ptr<char[]> buffer(new char[length]);
        for (std::size_t i = 0; i < length; ++i) {
            // Any byte now and then; otherwise plain bytes, so that long runs occur.
            const unsigned value = random() % 256;
            const bool plain = value >= 0x20 && value != '"' && value != '\\';
            buffer[i] = static_cast<char>(plain || random() % 32 == 0 ? value : 'x');
        }
        expect_scans_agree(buffer.get(), buffer.get() + length);
    }
}

// An escape-free string is a slice of the input; one with escapes is assembled apart.
TEST(ReaderString, EscapeFreeStringsAreSlicesOfTheInput) {
    const std::string text = R"("plain text é" "esc\naped")";
    Reader reader(text);
    ASSERT_EQ(reader.peek(), '"');
    reader.consume_peeked();
    auto plain = reader.read_string();
    ASSERT_TRUE(plain);
    EXPECT_EQ(*plain, "plain text \xC3\xA9");
    EXPECT_EQ(plain->data(), text.data() + 1);

    ASSERT_EQ(reader.peek(), '"');
    reader.consume_peeked();
    auto escaped = reader.read_string();
    ASSERT_TRUE(escaped);
    EXPECT_EQ(*escaped, "esc\naped");
    EXPECT_TRUE(escaped->data() < text.data() || escaped->data() >= text.data() + text.size());
    EXPECT_EQ(reader.peek(), Reader::kEnd);
}

std::string read_string_result(std::string_view text) {
    Reader reader(text);
    if (reader.peek() != '"') {
        return "no string";
    }
    reader.consume_peeked();
    auto decoded = reader.read_string();
    return decoded ? cat("ok:", *decoded) : decoded.error().display();
}

TEST(ReaderString, DecodedStrings) {
    struct Row {
        std::string_view text;
        std::string_view expected;
    };
    const Row rows[] = {
        {R"("")", "ok:"},
        {R"("\u00e9\u20AC\ud83d\ude00\uDBFF\uDFFF")", "ok:\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"},
        {R"("a\/b/c")", "ok:a/b/c"},
        {"\"\x7F\xC3\xA9\"", "ok:\x7F\xC3\xA9"},
        // Fewer than four bytes after \u: the end of the text.
        {R"("\u")", "EOF while parsing a string at line 1 column 4"},
        {R"("\u1")", "EOF while parsing a string at line 1 column 5"},
        {R"("\u12")", "EOF while parsing a string at line 1 column 6"},
        // Four bytes left, one of them not a digit: reported at the fourth.
        {R"("\u1"}x)", "invalid escape at line 1 column 7"},
        {R"("\uG000")", "invalid escape at line 1 column 7"},
        {R"("\u000G")", "invalid escape at line 1 column 7"},
        {R"("\U0041")", "invalid escape at line 1 column 3"},
        {"\"\\\xC3\xA9\"", "invalid escape at line 1 column 3"},
        {R"("\ud800\x")", "unexpected end of hex escape at line 1 column 9"},
        {R"("\ud800\uDBFF")", "lone leading surrogate in hex escape at line 1 column 13"},
        {R"("\ud800\uE000")", "lone leading surrogate in hex escape at line 1 column 13"},
        {R"("\ud800\u1")", "EOF while parsing a string at line 1 column 11"},
        {"\"a\x1F\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
        {"\"\r\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
        {"\"abc", "EOF while parsing a string at line 1 column 4"},
        {"\"a\\nb\\", "EOF while parsing a string at line 1 column 6"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(read_string_result(row.text), row.expected) << row.text;
    }
}

// The whole text is one skipped value.
std::string skip_result(std::string_view text) {
    Reader reader(text);
    auto skipped = reader.skip_value();
    if (!skipped) {
        return skipped.error().display();
    }
    auto finished = reader.finish();
    return finished ? "ok" : finished.error().display();
}

TEST(ReaderSkip, AcceptedValues) {
    const std::string_view texts[] = {
        "1e999",
        "-0.5E+3",
        "0",
        R"("\ud800")",
        R"("\udc00\u0041\\\/\b")",
        "\"\x7F\xC3\xA9\"",
        "[]",
        "{}",
        " [ 1 , [ ] , { } , \"a\" ] ",
        R"({"a":1,"a":2})",
        R"({"a":{"b":[true,false,null,{"c":"d"}]}})",
        "[[[[[]]]]]",
    };
    for (const std::string_view text : texts) {
        EXPECT_EQ(skip_result(text), "ok") << text;
    }
}

TEST(ReaderSkip, Errors) {
    struct Row {
        std::string_view text;
        std::string_view expected;
    };
    const Row rows[] = {
        {"", "EOF while parsing a value at line 1 column 0"},
        {"[1,]", "expected value at line 1 column 4"},
        {R"({"a":1,})", "key must be a string at line 1 column 8"},
        {"01", "invalid number at line 1 column 2"},
        {"[-01]", "invalid number at line 1 column 4"},
        // Where a digit is required, the end of the text is an invalid number.
        {"-", "invalid number at line 1 column 1"},
        {"-x", "invalid number at line 1 column 2"},
        {"1.", "invalid number at line 1 column 2"},
        {"1.x", "invalid number at line 1 column 3"},
        {"1e", "invalid number at line 1 column 2"},
        {"1e+", "invalid number at line 1 column 3"},
        {"1e+x", "invalid number at line 1 column 4"},
        {"[", "EOF while parsing a list at line 1 column 1"},
        {"[1", "EOF while parsing a list at line 1 column 2"},
        {"[1,", "EOF while parsing a value at line 1 column 3"},
        {"{", "EOF while parsing an object at line 1 column 1"},
        {R"({"a")", "EOF while parsing an object at line 1 column 4"},
        {R"({"a":)", "EOF while parsing a value at line 1 column 5"},
        {R"({"a":1)", "EOF while parsing an object at line 1 column 6"},
        {R"({"a":1,)", "EOF while parsing an object at line 1 column 7"},
        {R"({"a" 1})", "expected `:` at line 1 column 6"},
        {R"({"a":1 "b":2})", "expected `,` or `}` at line 1 column 8"},
        {"[1 2]", "expected `,` or `]` at line 1 column 4"},
        {"[1}", "expected `,` or `]` at line 1 column 3"},
        {R"({"a":1])", "expected `,` or `}` at line 1 column 7"},
        {"{1:2}", "key must be a string at line 1 column 2"},
        {"{]", "key must be a string at line 1 column 2"},
        {"[}", "expected value at line 1 column 2"},
        {"]", "expected value at line 1 column 1"},
        {R"([{"a":[{"b":}]}])", "expected value at line 1 column 13"},
        {"tru", "EOF while parsing a value at line 1 column 3"},
        {"trux", "expected ident at line 1 column 4"},
        {"nul1", "expected ident at line 1 column 4"},
        {"fals", "EOF while parsing a value at line 1 column 4"},
        {R"("\q")", "invalid escape at line 1 column 3"},
        {R"("\u00")", "EOF while parsing a string at line 1 column 6"},
        {R"("\u00"x")", "invalid escape at line 1 column 7"},
        // A raw control byte is reported before itself in a skipped string.
        {"\"a\nb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
        {"\"\t\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 1"},
        {"[\"ok\",\n\"x\ny\"]", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 2"},
        {"\"abc", "EOF while parsing a string at line 1 column 4"},
        {"\"\\", "EOF while parsing a string at line 1 column 2"},
        {"1 2", "trailing characters at line 1 column 3"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(skip_result(row.text), row.expected) << row.text;
    }
}

struct DeepDecode {
    std::string text;
    std::string outcome;
};

// Decodes on a thread whose stack is far too small for one frame per level.
std::string decode_on_small_stack(std::string text) {
    DeepDecode job{std::move(text), {}};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 256 * 1024);
    pthread_t thread;
    const auto run = [](void* argument) -> void* {
        auto* work = static_cast<DeepDecode*>(argument);
        auto decoded = qf::decode_config(work->text);
        work->outcome = decoded ? "decoded" : decoded.error().display();
        return nullptr;
    };
    EXPECT_EQ(pthread_create(&thread, &attributes, run, &job), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
    return job.outcome;
}

TEST(ReaderSkip, AMillionLevelsDeepInsideAnUnknownKey) {
    constexpr std::size_t kDepth = 1000000;
    const std::string record = R"("temperature":0.5,"max_candidates":1,"seed":2})";
    std::string arrays = cat(R"({"x":)", std::string(kDepth, '['), std::string(kDepth, ']'), ",", record);
    EXPECT_EQ(decode_on_small_stack(arrays), "decoded");

    std::string objects = R"({"x":)";
    for (std::size_t i = 0; i < kDepth; ++i) {
        objects += R"({"a":)";
    }
    objects += "1";
    objects += std::string(kDepth, '}');
    objects += ",";
    objects += record;
    EXPECT_EQ(decode_on_small_stack(objects), "decoded");

    const std::string open = cat(R"({"x":)", std::string(kDepth, '['));
    EXPECT_EQ(decode_on_small_stack(open),
              cat("EOF while parsing a list at line 1 column ", std::to_string(open.size())));
    const std::string unbalanced = cat(R"({"x":)", std::string(kDepth, '['), std::string(kDepth - 1, ']'), "}");
    EXPECT_EQ(decode_on_small_stack(unbalanced),
              cat("expected `,` or `]` at line 1 column ", std::to_string(unbalanced.size())));
}

// A decoded value nested past the budget, read the way the record decoders read lists.
qf::Result<void, qf::json::JsonError> read_nested_lists(Reader& reader) {
    if (auto entered = reader.enter(); !entered) {
        return entered;
    }
    for (bool first = true;; first = false) {
        auto more = reader.next_element(first);
        if (!more) {
            return qf::fail(more.error());
        }
        if (!*more) {
            break;
        }
        if (auto inner = read_nested_lists(reader); !inner) {
            return inner;
        }
    }
    reader.leave();
    return {};
}

TEST(ReaderNesting, DecodedNestingPastTheBudgetFails) {
    const std::string fits = cat(std::string(127, '['), std::string(127, ']'));
    Reader shallow(fits);
    EXPECT_TRUE(read_nested_lists(shallow));
    EXPECT_TRUE(shallow.finish());

    const std::string deep = cat("\n", std::string(128, '['), std::string(128, ']'));
    Reader reader(deep);
    ASSERT_EQ(reader.peek(), '[');
    auto result = read_nested_lists(reader);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().display(), "recursion limit exceeded at line 2 column 128");

    // Leaving a container gives its level back.
    Reader again(deep);
    for (int level = 1; level < Reader::kNestingBudget; ++level) {
        ASSERT_EQ(again.peek(), '[');
        ASSERT_TRUE(again.enter());
    }
    again.leave();
    EXPECT_TRUE(again.enter());
    EXPECT_FALSE(again.enter());
}

}  // namespace
