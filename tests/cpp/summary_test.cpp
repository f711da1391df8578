#include <gtest/gtest.h>

#include <string>

#include "quillforge/engine.hpp"

namespace {

using qf::NarrativeLore;

std::string summary(const NarrativeLore& lore) {
    auto text = qf::render_lore_summary(lore);
    return text ? *text : text.error().display();
}

TEST(RenderLoreSummary, Sentences) {
    struct Case {
        NarrativeLore lore;
        std::string_view expected;
    };
    const Case cases[] = {
        {{"Tide Lore", "Tides", {{"b1", "  hello world "}, {"b2", "second"}}},
         "Tides contains 2 block(s) and 3 word(s)."},
        {{"l", "Tides", {{"b1", "word"}}}, "Tides contains 1 block(s) and 1 word(s)."},
        // Words never run across blocks, and a block of U+00A0 adds none.
        {{"l", "T", {{"b1", "a  b"}, {"b2", "\xC2\xA0"}, {"b3", "d e f"}}}, "T contains 3 block(s) and 5 word(s)."},
        {{"l", "T", {{"b1", "ab"}, {"b2", "cd"}}}, "T contains 2 block(s) and 2 word(s)."},
        {{"l", "  Saga  ", {{"b1", "x"}}}, "  Saga   contains 1 block(s) and 1 word(s)."},
        {{"l", "\"Q\"\n", {{"b1", "\v"}}}, "\"Q\"\n contains 1 block(s) and 0 word(s)."},
        {{"l", "T", {{"b1", "\xE3\x80\x80x\xE3\x80\x80"}, {"b2", "a\xE2\x80\x8B" "b"}}},
         "T contains 2 block(s) and 2 word(s)."},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(summary(c.lore), c.expected);
    }
}

TEST(RenderLoreSummary, ValidationFirst) {
    EXPECT_EQ(summary({"l", " \t", {{"b", "x"}}}), "validation failed: NarrativeLore.title must not be empty");
    EXPECT_EQ(summary({"l", "T", {}}), "validation failed: NarrativeLore.blocks must contain at least one block");
    EXPECT_EQ(summary({"l", "T", {{"b", "x"}, {"", ""}}}), "validation failed: NarrativeBlock.id must not be empty");
}

TEST(RenderLoreSummary, AMillionBlocks) {
    NarrativeLore lore{"l", "Big", {}};
    lore.blocks.assign(1'000'000, qf::NarrativeBlock{"b", "one two\xC2\xA0three"});
    EXPECT_EQ(summary(lore), "Big contains 1000000 block(s) and 3000000 word(s).");
}

}  // namespace
