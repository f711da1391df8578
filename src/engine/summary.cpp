// The lore summary sentence.
#include <string>
#include <string_view>

#include "quillforge/engine.hpp"
#include "quillforge/json/writer.hpp"
#include "quillforge/validation.hpp"
#include "summary_sentence.hpp"
#include "unicode_text.hpp"

namespace qf {

Result<std::string, NarrativeError> render_lore_summary(const NarrativeLore& lore) {
    if (auto checked = validate_lore(lore); !checked) {
        return fail(std::move(checked).error());
    }
    std::uint64_t words = 0;
    for (const NarrativeBlock& block : lore.blocks) {
        words += detail::count_words(block.content);
    }
    return detail::summary_sentence(lore.title, lore.blocks.size(), words);
}

std::string detail::summary_sentence(std::string_view title, std::uint64_t blocks, std::uint64_t words) {
    constexpr std::string_view kContains = " contains ";
    constexpr std::string_view kBlocks = " block(s) and ";
    constexpr std::string_view kWords = " word(s).";
    std::string text;
    text.reserve(title.size() + kContains.size() + kBlocks.size() + kWords.size() + 2 * 20);
    text.append(title);
    text.append(kContains);
    json::write_u64(text, blocks);  // plain decimal
    text.append(kBlocks);
    json::write_u64(text, words);
    text.append(kWords);
    return text;
}

}  // namespace qf
