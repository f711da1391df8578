// render_lore_summary_json on any bytes: a clean error, or the sentence whose
// word count agrees with the plain character-by-character count.
#include <cstdint>
#include <string>

#include "engine/unicode_text.hpp"
#include "fuzz_check.hpp"
#include "quillforge/codec.hpp"
#include "quillforge/engine.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = qf::fuzz::as_text(data, size);
    auto summary = qf::render_lore_summary_json(text);
    auto lore = qf::decode_lore(text);
    if (!lore) {
        QF_FUZZ_CHECK(!summary && summary.error().display() == "serialization failed: " + lore.error().display(),
                      lore.error().display().c_str());
        return 0;
    }
    if (!summary) {
        QF_FUZZ_CHECK(summary.error().kind() == qf::NarrativeError::Kind::Validation,
                      summary.error().display().c_str());
        return 0;
    }
    // The word-at-a-time count must agree with the scalar-by-scalar one on any
    // bytes, malformed UTF-8 included.
    std::uint64_t words = 0;
    for (const auto& block : lore->blocks) {
        const std::uint64_t fast = qf::detail::count_words(block.content);
        QF_FUZZ_CHECK(fast == qf::detail::count_words_by_character(block.content), block.content.c_str());
        words += fast;
    }
    const std::string expected = lore->title + " contains " + std::to_string(lore->blocks.size()) + " block(s) and " +
                                 std::to_string(words) + " word(s).";
    QF_FUZZ_CHECK(*summary == expected, summary->c_str());
    return 0;
}
