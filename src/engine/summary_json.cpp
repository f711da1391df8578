// The lore summary from a JSON text; the sentence comes back as plain text.
// The lore is decoded into what the sentence and the rules need (the title,
// counts and blank tests), not into records: no block is kept, so a large lore
// costs no memory beyond its text.
#include "decode_record.hpp"
#include "lore_facts.hpp"
#include "quillforge/engine.hpp"
#include "quillforge/validation.hpp"
#include "summary_sentence.hpp"
#include "unicode_text.hpp"

namespace qf {

namespace detail {

namespace {

// A text field of which only the blank test is kept.
struct BlankTest {
    static constexpr FieldType kFieldType = FieldType::Text;
    bool blank = true;

    Result<void, JsonError> decode(Reader& reader, const auto& /*record*/) {
        auto text = read_text(reader);
        if (!text) {
            return pass_error<void>(std::move(text));
        }
        blank = is_blank(*text);
        return {};
    }
};

// A content: its blank test and its words.
struct CountedText {
    static constexpr FieldType kFieldType = FieldType::Text;
    bool blank = true;
    std::uint64_t words = 0;

    Result<void, JsonError> decode(Reader& reader, const auto& /*record*/) {
        auto text = read_text(reader);
        if (!text) {
            return pass_error<void>(std::move(text));
        }
        blank = is_blank(*text);
        words = count_words(*text);
        return {};
    }
};

struct SummaryBlock {
    BlankTest id;
    CountedText content;
};

struct SummaryLore;

// The blocks, folded into the lore's facts and word count as they are read.
struct SummaryBlocks {
    static constexpr FieldType kFieldType = FieldType::RecordList;
    Result<void, JsonError> decode(Reader& reader, SummaryLore& lore);
};

struct SummaryLore {
    BlankTest id;
    std::string title;
    SummaryBlocks blocks;
    LoreFacts facts;
    std::uint64_t words = 0;
};

Result<void, JsonError> SummaryBlocks::decode(Reader& reader, SummaryLore& lore) {
    SummaryBlock block;
    return decode_each(reader, block, [&](const SummaryBlock& decoded) {
        lore.facts.add_block(decoded.id.blank, decoded.content.blank);
        lore.words += decoded.content.words;
    });
}

}  // namespace

template <>
struct Binding<SummaryBlock> {
    static constexpr const RecordInfo& info = kNarrativeBlockInfo;
    static constexpr auto members = std::make_tuple(QF_MEMBER(SummaryBlock, id), QF_MEMBER(SummaryBlock, content));
};

template <>
struct Binding<SummaryLore> {
    static constexpr const RecordInfo& info = kNarrativeLoreInfo;
    static constexpr auto members =
        std::make_tuple(QF_MEMBER(SummaryLore, id), QF_MEMBER(SummaryLore, title), QF_MEMBER(SummaryLore, blocks));
};

}  // namespace detail

Result<void, NarrativeError> render_lore_summary_json(std::string_view lore_json, json::Output& out) {
    detail::SummaryLore lore;
    if (auto decoded = detail::decode_whole(lore_json, lore); !decoded) {
        return fail(NarrativeError::serialization(std::move(decoded).error()));
    }
    lore.facts.id_blank = lore.id.blank;
    lore.facts.title_blank = is_blank(lore.title);
    if (auto checked = lore.facts.check(); !checked) {
        return fail(std::move(checked).error());
    }
    detail::write_summary_sentence(out, lore.title, lore.facts.blocks, lore.words);
    return {};
}

}  // namespace qf
