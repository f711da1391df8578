// The reader below the record decoders: strings, numbers and whole values,
// decoded and skipped (the rows of tests/data/reader.jsonl); the string scan;
// skipped values of any depth; the nesting budget.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "quillforge/codec.hpp"
#include "quillforge/json/reader.hpp"
#include "support.hpp"

namespace {

using qf::json::Number;
using qf::json::Reader;
using qf::test::cat;

std::string number_text(const Number& number) {
    using Kind = Number::Kind;
    return number.kind == Kind::Unsigned   ? cat("unsigned ", std::to_string(number.unsigned_value))
           : number.kind == Kind::Negative ? cat("negative ", std::to_string(number.negative_value))
                                           : cat("float ", qf::test::shortest(number.float_value));
}

// The text as one decoded string or number and nothing after it but
// whitespace; nullopt for the other kinds of value.
std::optional<std::string> decoded(std::string_view text) {
    Reader reader(text);
    const int first = reader.peek();
    std::string value;
    if (first == '"') {
        reader.consume_peeked();
        auto string = reader.read_string();
        if (!string) {
            return string.error().display();
        }
        value = cat("string ", *string);
        // An escape-free string is a slice of the input; one with escapes is assembled apart.
        const bool sliced = string->data() >= text.data() && string->data() < text.data() + text.size();
        if (!string->empty() && sliced == (text.substr(0, reader.index()).find('\\') != std::string_view::npos)) {
            return "sliced or assembled wrongly";
        }
    } else if (first == '-' || (first >= '0' && first <= '9')) {
        auto number = reader.read_number();
        if (!number) {
            return number.error().display();
        }
        value = number_text(*number);
    } else {
        return std::nullopt;
    }
    auto finished = reader.finish();
    return finished ? value : finished.error().display();
}

std::string skipped(std::string_view text) {
    Reader reader(text);
    auto skip = reader.skip_value();
    return skip ? qf::test::outcome(reader.finish()) : skip.error().display();
}

TEST(Reader, RowsOfTheDataFile) {
    for (const qf::test::Row& row : qf::test::read_rows("reader.jsonl", 3)) {
        // Read through a view with a digit past its end: nothing past the end counts.
        const std::string padded = *row[0] + '7';
        const std::string_view text(padded.data(), row[0]->size());
        EXPECT_EQ(decoded(text), row[1]) << testing::PrintToString(text);
        EXPECT_EQ(skipped(text), *row[2]) << testing::PrintToString(text);
    }
}

// With at most 15 significant digits and an effective exponent in -22..22, one
// exact multiplication or division gives the correctly rounded double.
TEST(Reader, ShortNumbersAreCorrectlyRounded) {
    std::mt19937_64 random(20240611);
    for (int i = 0; i < 200000; ++i) {
        const std::size_t digits = 1 + random() % 15;
        std::string significand(1, static_cast<char>('1' + random() % 9));
        while (significand.size() < digits) {
            significand += static_cast<char>('0' + random() % 10);
        }
        // Split into integer and fraction digits, optionally behind leading zeros.
        const std::size_t fraction = random() % (digits + 1);
        const std::size_t zeros = fraction == digits ? random() % 4 : 0;
        const long written = -22 + static_cast<long>(random() % 45 + fraction + zeros);
        std::string text = random() % 2 == 0 ? "-" : "";
        if (fraction == digits) {
            text += cat("0.", std::string(zeros, '0'), significand);
        } else {
            text += significand.substr(0, digits - fraction);
            text += fraction > 0 ? cat(".", significand.substr(digits - fraction)) : "";
        }
        if (written != 0 || fraction == 0) {
            text += cat(random() % 2 == 0 ? "e" : "E", std::to_string(written));
        }
        Reader reader(text);
        auto number = reader.read_number();
        ASSERT_TRUE(number) << text;
        ASSERT_EQ(number->to_double(), std::strtod(text.c_str(), nullptr)) << text;
    }
}

// Every scan variant must stop where the byte-by-byte scan does: on bytes next
// to the stop bytes in value, with a stop at every offset (and sometimes a
// second one after it), and on random bytes with long plain runs.
TEST(Reader, StringScansAgreeWithTheByteByByteScan) {
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
                    if (stop_at + 1 < length && random() % 2 == 0) {
                        buffer[stop_at + 1 + random() % (length - stop_at - 1)] = '"';
                    }
                }
                for (std::size_t start = 0; start <= length && start <= 17; ++start) {
                    ASSERT_STREQ(qf::test::scan_disagreeing(buffer.get() + start, buffer.get() + length), nullptr);
                }
            }
        }
    }
    // Each byte value at each position: in the first sixteen, the rounds of
    // thirty-two and the last sixteen (from 16: 16 + 32 + 16 bytes).
    std::unique_ptr<char[]> block(new char[80]);
    for (unsigned byte = 0; byte < 0x100; ++byte) {
        for (std::size_t at = 0; at < 80; ++at) {
            std::fill_n(block.get(), 80, 'a');
            block[at] = static_cast<char>(byte);
            for (const std::size_t start : {0u, 16u}) {
                ASSERT_STREQ(qf::test::scan_disagreeing(block.get() + start, block.get() + 80), nullptr)
                    << byte << " at " << at;
            }
        }
    }
    for (int round = 0; round < 20000; ++round) {
        const std::size_t length = random() % 200;
        std::unique_ptr<char[]> buffer(new char[length]);
        for (std::size_t i = 0; i < length; ++i) {
            const unsigned value = random() % 256;
            const bool is_plain = value >= 0x20 && value != '"' && value != '\\';
            buffer[i] = static_cast<char>(is_plain || random() % 32 == 0 ? value : 'x');
        }
        ASSERT_STREQ(qf::test::scan_disagreeing(buffer.get(), buffer.get() + length), nullptr);
    }
}

// Decodes on a thread whose stack is far too small for one frame per level.
std::string decode_on_small_stack(std::string text) {
    std::pair<std::string, std::string> job{std::move(text), {}};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 256 * 1024);
    pthread_t thread;
    const auto run = [](void* argument) -> void* {
        auto* work = static_cast<std::pair<std::string, std::string>*>(argument);
        work->second = qf::test::outcome(qf::decode_config(work->first));
        return nullptr;
    };
    EXPECT_EQ(pthread_create(&thread, &attributes, run, &job), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
    return job.second;
}

TEST(Reader, SkipsAMillionLevelsInsideAnUnknownKey) {
    constexpr std::size_t kDepth = 1000000;
    const std::string record = R"("temperature":0.5,"max_candidates":1,"seed":2})";
    std::string objects = R"({"x":)";
    for (std::size_t i = 0; i < kDepth; ++i) {
        objects += R"({"a":)";
    }
    objects += cat("1", std::string(kDepth, '}'), ",", record);
    EXPECT_EQ(decode_on_small_stack(objects), "ok");
    const std::string open = cat(R"({"x":)", std::string(kDepth, '['));
    EXPECT_EQ(decode_on_small_stack(cat(open, std::string(kDepth, ']'), ",", record)), "ok");
    EXPECT_EQ(decode_on_small_stack(open),
              cat("EOF while parsing a list at line 1 column ", std::to_string(open.size())));
    const std::string unbalanced = cat(open, std::string(kDepth - 1, ']'), "}");
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
            reader.leave();
            return {};
        }
        if (auto inner = read_nested_lists(reader); !inner) {
            return inner;
        }
    }
}

TEST(Reader, DecodedNestingPastTheBudgetFails) {
    const std::string fits = cat(std::string(127, '['), std::string(127, ']'));
    Reader shallow(fits);
    EXPECT_TRUE(read_nested_lists(shallow));
    EXPECT_TRUE(shallow.finish());
    const std::string deep = cat("\n", std::string(128, '['), std::string(128, ']'));
    Reader reader(deep);
    ASSERT_EQ(reader.peek(), '[');
    EXPECT_EQ(qf::test::outcome(read_nested_lists(reader)), "recursion limit exceeded at line 2 column 128");
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
