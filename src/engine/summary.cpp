// The lore summary sentence.
#include <string>
#include <string_view>

#include "quillforge/engine.hpp"
#include "quillforge/json/writer.hpp"
#include "quillforge/validation.hpp"
#include "record_path.hpp"
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
    json::Output out;
    detail::write_summary_sentence(out, lore.title, lore.blocks.size(), words);
    return out.to_string();
}

void detail::write_summary_sentence(json::Output& out, std::string_view title, std::uint64_t blocks,
                                    std::uint64_t words) {
    constexpr std::string_view kContains = " contains ";
    constexpr std::string_view kBlocks = " block(s) and ";
    constexpr std::string_view kWords = " word(s).";
    out.reserve(out.size() + title.size() + kContains.size() + kBlocks.size() + kWords.size() + 2 * 20);
    out.append(title);  // as it is: the sentence is plain text, not JSON
    out.append(kContains);
    json::write_u64(out, blocks);  // plain decimal
    out.append(kBlocks);
    json::write_u64(out, words);
    out.append(kWords);
}

}  // namespace qf
