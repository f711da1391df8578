#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>

#include "../../src/engine/slug.hpp"
#include "../../src/engine/unicode_text.hpp"

namespace {

using qf::detail::count_words;
using qf::detail::count_words_by_character;
using qf::detail::decode_scalar;
using qf::detail::is_white_space;
using qf::detail::trim_white_space;

std::string utf8(char32_t c) {
    std::string out;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

TEST(DecodeScalar, EveryScalarValueRoundTrips) {
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) {
            continue;
        }
        const std::string bytes = utf8(c);
        const auto scalar = decode_scalar(bytes);
        ASSERT_EQ(scalar.value, c);
        ASSERT_EQ(scalar.length, bytes.size());
    }
}

TEST(DecodeScalar, MalformedBytesReadAsOneReplacementEach) {
    for (std::string_view bytes : {"\x80", "\xBF", "\xC0\x80", "\xC1\xBF", "\xC2", "\xC2z", "\xE0\x80\x80", "\xE2\x80",
                                   "\xED\xA0\x80", "\xF0\x80\x80\x80", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF",
                                   "\xF0\x9F\x98"}) {
        const auto scalar = decode_scalar(bytes);
        EXPECT_EQ(scalar.value, U'\uFFFD') << testing::PrintToString(bytes);
        EXPECT_EQ(scalar.length, 1u) << testing::PrintToString(bytes);
    }
}

TEST(WhiteSpace, ExactlyTheListedCharacters) {
    const char32_t listed[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,   0xA0,   0x1680,
                               0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008,
                               0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
    std::size_t next = 0;
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        const bool expected = next < std::size(listed) && listed[next] == c;
        ASSERT_EQ(is_white_space(c), expected) << std::hex << static_cast<std::uint32_t>(c);
        next += expected;
    }
    EXPECT_EQ(next, std::size(listed));
}

TEST(TrimWhiteSpace, WholeCharactersAtBothEnds) {
    struct Case {
        std::string_view input;
        std::string_view expected;
    };
    const Case cases[] = {
        {"  hello world ", "hello world"},
        {"second", "second"},
        {"", ""},
        {"\xC2\xA0", ""},
        {"\v", ""},
        {"\t\n \xE3\x80\x80\xE2\x80\xA8", ""},
        {"a\nb", "a\nb"},
        {"\xE3\x80\x80x\xE3\x80\x80", "x"},
        {"\xC2\x85" "a b" "\xE2\x80\x8A", "a b"},
        {"\xE2\x80\x8B" "x" "\xE2\x80\x8B", "\xE2\x80\x8B" "x" "\xE2\x80\x8B"},  // U+200B is not whitespace
        {"\x1F" "x" "\x1C", "\x1F" "x" "\x1C"},
        {" \xC3\xA9 ", "\xC3\xA9"},
        {" \xF0\x9F\x98\x80\xE2\x80\xAF", "\xF0\x9F\x98\x80"},
        // Malformed ends are kept as characters, never split.
        {"x \xE2\x80", "x \xE2\x80"},
        {"\x80 x", "\x80 x"},
        {"x\xE2\x80\x80\x80", "x\xE2\x80\x80\x80"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(trim_white_space(c.input), c.expected) << testing::PrintToString(c.input);
    }
}

TEST(CountWords, MaximalRunsOfNonWhiteSpace) {
    struct Case {
        std::string_view input;
        std::uint64_t expected;
    };
    const Case cases[] = {
        {"don't well-known a,b", 3},
        {"a\xC2\xA0" "b", 2},
        {"one\ttwo\nthree\vfour\ffive\rsix", 6},
        {"x\xE2\x80\xA8y\xE2\x81\x9Fz\xE1\x9A\x80w\xC2\x85v", 5},
        {"\xE3\x80\x80x\xE3\x80\x80", 1},
        {"a\xE2\x80\x8B" "b", 1},
        {"a\x1F" "b\x1C" "d", 1},
        {"a  b", 2},
        {"  hello world ", 2},
        {"", 0},
        {"\xC2\xA0", 0},
        {"    a   b   c   dd  eeeeeeeeeeeeeeee  f", 6},  // runs across the eight-byte chunks
        {"abcdefgh ijklmnop qrstuvwx", 3},
        {"        \xC3\xA9        x", 2},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(count_words(c.input), c.expected) << testing::PrintToString(c.input);
        EXPECT_EQ(count_words_by_character(c.input), c.expected) << testing::PrintToString(c.input);
    }
}

// The eight-byte ASCII path against the character path, on texts that mix ASCII
// whitespace, multi-byte whitespace, non-whitespace look-alikes and stray bytes.
TEST(CountWords, FastPathAgreesWithCharacterPath) {
    const std::string_view pieces[] = {"a", "Z", "9", " ", "\t", "\n", "\v", "\f", "\r", "\x1F", "\x08", "\x7F",
                                       "\xC3\xA9", "\xC2\xA0", "\xC2\x85", "\xE3\x80\x80", "\xE2\x80\x8A",
                                       "\xE2\x80\x8B", "\xE2\x81\x9F", "\xF0\x9F\x98\x80", "\x80", "\xE2\x80"};
    std::mt19937_64 random(12345);
    std::uniform_int_distribution<std::size_t> pick(0, std::size(pieces) - 1);
    std::uniform_int_distribution<std::size_t> length(0, 80);
    std::uniform_int_distribution<int> ascii_bias(0, 3);
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        const std::size_t count = length(random);
        const bool mostly_ascii = ascii_bias(random) != 0;
        for (std::size_t i = 0; i < count; ++i) {
            std::size_t at = pick(random);
            if (mostly_ascii && at > 11 && ascii_bias(random) != 0) {
                at %= 12;
            }
            text += pieces[at];
        }
        ASSERT_EQ(count_words(text), count_words_by_character(text)) << testing::PrintToString(text);
    }
}

TEST(Slug, LowercaseAsciiRunsJoinedByHyphens) {
    struct Case {
        std::string_view id;
        std::string_view expected;
    };
    const Case cases[] = {
        {"Tide Lore", "tide-lore"},
        {"Tide__Lore!! 2 ", "tide-lore-2"},
        {"Caf\xC3\xA9", "caf"},
        {"\xC3\x9Cn\xC3\xAF" "c\xC3\xB6" "d\xC3\xA9", "n-c-d"},
        {"???", ""},
        {"-ABC-", "abc"},
        {"a\xF0\x9F\x98\x80" "b", "a-b"},
        {"\xEF\xBC\xA1\xD9\xA3", ""},  // fullwidth A and Arabic-Indic three are not ASCII
        {"AZaz09", "azaz09"},
        {"@[`{/:", ""},  // the bytes just outside each ASCII range
        {"a--b", "a-b"},
    };
    for (const Case& c : cases) {
        std::string out = "prefix:";
        qf::detail::append_slug(out, c.id);
        EXPECT_EQ(out, "prefix:" + std::string(c.expected)) << testing::PrintToString(c.id);
    }
}

}  // namespace
