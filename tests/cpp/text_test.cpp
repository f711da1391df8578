#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>

#include "engine/unicode_text.hpp"

namespace {

using namespace qf::detail;

// Records built in memory may hold any bytes: trimming never splits or drops a
// malformed one (each reads as a non-whitespace U+FFFD, checked in utf8_test).
TEST(UnicodeText, MalformedBytesAreSafe) {
    const std::pair<std::string_view, std::string_view> trims[] = {
        {" x \xE2\x80", "x \xE2\x80"},
        {"\xE2\x80\x80\x80", "\x80"},
        {"\x80 x\xE3\x80\x80", "\x80 x"},
    };
    for (const auto& [text, trimmed] : trims) {
        EXPECT_EQ(trim_white_space(text), trimmed) << testing::PrintToString(text);
    }
}

// The eight-byte ASCII path against the character path, on texts that mix ASCII
// whitespace, multi-byte whitespace, look-alikes and stray bytes; the first
// eleven pieces are ASCII (with the bytes either side of the 0x09..0x0D spaces).
TEST(UnicodeText, WordCountFastPathAgreesWithCharacterPath) {
    // clang-format off
    const std::string_view pieces[] = {"a", "Z", " ", "\t", "\n", "\v", "\r", "\x08", "\x0E", "\x1F", "\x7F", "\xC3\xA9", "\xC2\xA0",
                                       "\xC2\x85", "\xE3\x80\x80", "\xE2\x80\x8A", "\xE2\x80\x8B", "\xF0\x9F\x98\x80",
                                       "\x80", "\xE2\x80"};
    // clang-format on
    std::mt19937_64 random(12345);
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        const bool mostly_ascii = random() % 4 != 0;
        for (std::size_t i = random() % 80; i > 0; --i) {
            text += pieces[random() % (mostly_ascii && random() % 4 != 0 ? 11 : std::size(pieces))];
        }
        ASSERT_EQ(count_words(text), count_words_by_character(text)) << testing::PrintToString(text);
    }
    EXPECT_EQ(count_words("    a   b   c   dd  eeeeeeeeeeeeeeee  f\xC2\xA0g"), 7u);
}

}  // namespace
