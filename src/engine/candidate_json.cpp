// Candidate generation from JSON texts to JSON text. The lore is read once: as
// each block is decoded its bytes go through the hash and its trimmed content
// is appended to the output text, so the merged content is never built apart
// from the output. The hash and the output begin with the lore's id and title;
// blocks that come before those are kept (views into the text, copies of the
// escaped ones) until both are known.
#include <functional>
#include <vector>

#include "candidate_score.hpp"
#include "candidate_text.hpp"
#include "decode_record.hpp"
#include "huge_pages.hpp"
#include "lore_facts.hpp"
#include "quillforge/codec.hpp"
#include "quillforge/engine.hpp"
#include "quillforge/json/writer.hpp"
#include "quillforge/validation.hpp"
#include "unicode_text.hpp"

namespace qf {

namespace detail {

namespace {

// A string field whose text stays valid after the reader moves on: a view into
// the lore's text, or a copy when the string held escapes (the reader decodes
// those into a scratch buffer that the next string reuses).
struct StableText {
    static constexpr FieldType kFieldType = FieldType::Text;
    std::string_view in_lore;
    std::string decoded;
    bool given = false;
    bool escaped = false;

    std::string_view text() const noexcept { return escaped ? std::string_view(decoded) : in_lore; }

    Result<void, JsonError> decode(Reader& reader, const auto& /*record*/) {
        auto read = read_text(reader);
        if (!read) {
            return pass_error<void>(std::move(read));
        }
        const std::string_view whole = reader.text();
        const std::less<const char*> before;
        escaped = before(read->data(), whole.data()) || !before(read->data(), whole.data() + whole.size());
        if (escaped) [[unlikely]] {
            keep(*read);
        } else {
            in_lore = *read;
        }
        given = true;
        return {};
    }

    // Out of line, so that reading a plain string needs no frame for a copy.
    [[gnu::noinline]] void keep(std::string_view text) { decoded.assign(text); }
};

struct StreamBlock {
    StableText id;
    StableText content;
};

struct CandidateStream;

// The lore's blocks, handed to the stream as they are read.
struct StreamedBlocks {
    static constexpr FieldType kFieldType = FieldType::RecordList;
    Result<void, JsonError> decode(Reader& reader, CandidateStream& lore);
};

// The lore as this operation reads it, and the candidate's text and hash as
// they are built from it.
struct CandidateStream {
    StableText id;
    StableText title;
    StreamedBlocks blocks;

    std::size_t lore_size;
    std::uint64_t seed;
    SeededFnv1a hash;
    LoreFacts facts;
    std::string out;  // the candidate's text up to the merged content's last piece
    bool started = false;
    std::vector<StreamBlock> early_blocks;  // read before the id or the title

    CandidateStream(std::size_t lore_size_, std::uint64_t seed_) : lore_size(lore_size_), seed(seed_), hash(seed_) {}

    // Opens the text and the hash with the id and the title.
    void start() {
        static constexpr auto kBeforeId = json_key(kHybridCandidateInfo, "id") + "\"";
        static constexpr auto kBeforeBlockId =
            "\"" + json_key(kHybridCandidateInfo, "block") + json_key(kNarrativeBlockInfo, "id") + "\"";
        static constexpr auto kBeforeContent =
            kBlockIdSuffix + ("\"" + json_key(kNarrativeBlockInfo, "content") + "\"");
        const std::string_view lore_id = id.text();
        // Every text is written in at most the bytes it took in the lore's text;
        // the id appears twice and the title once more.
        out.reserve(lore_size + 6 * (lore_id.size() + title.text().size()) + 2 * 20 + 128);
        advise_huge_pages(out.data(), out.capacity());
        out.append(kBeforeId.text());
        append_candidate_id(out, lore_id, seed);
        out.append(kBeforeBlockId.text());
        json::write_escaped(out, lore_id);
        out.append(kBeforeContent.text());
        hash.update(lore_id);
        hash.update(title.text());
        started = true;
    }

    void add(const StreamBlock& block) {
        const std::string_view content = block.content.text();
        hash.update(block.id.text());
        hash.update(content);
        facts.add_block(is_blank(block.id.text()), is_blank(content));
        if (facts.blocks > 1) {
            out.push_back(' ');
        }
        const std::string_view piece = trim_white_space(content);
        // A string read straight from the text holds nothing that needs an escape.
        if (block.content.escaped) {
            json::write_escaped(out, piece);
        } else {
            out.append(piece);
        }
    }

    // After the whole lore was read: the blocks that waited for the id and the title.
    void add_early_blocks() {
        if (!started) {
            start();
            for (const StreamBlock& block : early_blocks) {
                add(block);
            }
        }
    }

    // Closes the content, then writes the score and the rationale.
    std::string finish(double temperature) && {
        static constexpr auto kBeforeScore = "\"}" + json_key(kHybridCandidateInfo, "score");
        static constexpr auto kBeforeRationale = json_key(kHybridCandidateInfo, "rationale") + "\"";
        out.append(kBeforeScore.text());
        json::write_f64(out, candidate_score(hash.value(), temperature));
        out.append(kBeforeRationale.text());
        append_rationale(out, facts.blocks, title.text(), seed, json::write_escaped);
        out.append("\"}");
        return std::move(out);
    }
};

Result<void, JsonError> StreamedBlocks::decode(Reader& reader, CandidateStream& lore) {
    StreamBlock block;
    // In the usual order the id and the title are known: the text starts here.
    if (lore.id.given && lore.title.given) {
        lore.start();
        return decode_each(reader, block, [&](const StreamBlock& decoded) { lore.add(decoded); });
    }
    return decode_each(reader, block, [&](const StreamBlock& decoded) { lore.early_blocks.push_back(decoded); });
}

}  // namespace

template <>
struct Binding<StreamBlock> {
    static constexpr const RecordInfo& info = kNarrativeBlockInfo;
    static constexpr auto members = std::make_tuple(&StreamBlock::id, &StreamBlock::content);
};

template <>
struct Binding<CandidateStream> {
    static constexpr const RecordInfo& info = kNarrativeLoreInfo;
    static constexpr auto members =
        std::make_tuple(&CandidateStream::id, &CandidateStream::title, &CandidateStream::blocks);
};

}  // namespace detail

Result<std::string, NarrativeError> generate_candidate_json(std::string_view lore_json, std::string_view config_json) {
    // The configuration is tiny and its seed starts the hash, so it is read
    // first; its errors still come after the lore's.
    auto config = decode_config(config_json);
    detail::CandidateStream lore(lore_json.size(), config ? config->seed : 0);
    if (auto decoded = detail::decode_whole(lore_json, lore); !decoded) {
        return fail(NarrativeError::serialization(std::move(decoded).error()));
    }
    if (!config) {
        return fail(NarrativeError::serialization(config.error()));
    }
    lore.add_early_blocks();
    lore.facts.id_blank = is_blank(lore.id.text());
    lore.facts.title_blank = is_blank(lore.title.text());
    if (auto checked = lore.facts.check(); !checked) {
        return fail(std::move(checked).error());
    }
    if (auto checked = validate_config(*config); !checked) {
        return fail(std::move(checked).error());
    }
    return std::move(lore).finish(config->temperature);
}

}  // namespace qf
