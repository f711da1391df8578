// Candidate generation from JSON texts to JSON text. The lore is read once: as
// each block is decoded its bytes go through the hash and its trimmed content
// is appended to the output text, so no block is kept and the merged content is
// never built apart from the output. When the lore's blocks come before its id
// or title (the hash reads those first), the records are built instead.
#include <functional>

#include "candidate_score.hpp"
#include "decode_record.hpp"
#include "huge_pages.hpp"
#include "lore_facts.hpp"
#include "quillforge/codec.hpp"
#include "quillforge/engine.hpp"
#include "quillforge/json/writer.hpp"
#include "quillforge/validation.hpp"
#include "slug.hpp"
#include "unicode_text.hpp"

namespace qf {

namespace detail {

namespace {

// A text as a view into the lore's text, or a copy when it held escapes (the
// reader's scratch buffer is reused by the next string).
struct HeldText {
    static constexpr FieldType kFieldType = FieldType::Text;
    std::string_view view;
    std::string copy;
    bool given = false;
    bool escaped = false;

    Result<void, JsonError> decode(Reader& reader) {
        auto text = read_text(reader);
        if (!text) {
            return pass_error<void>(std::move(text));
        }
        const std::string_view whole = reader.text();
        const std::less<const char*> before;
        escaped = before(text->data(), whole.data()) || !before(text->data(), whole.data() + whole.size());
        if (escaped) [[unlikely]] {
            keep(*text);
        } else {
            view = *text;
        }
        given = true;
        return {};
    }

    // Out of line, so that reading a plain string needs no frame for a copy.
    [[gnu::noinline]] void keep(std::string_view text) {
        copy.assign(text);
        view = copy;
    }
};

struct StreamBlock {
    HeldText id;
    HeldText content;
};

// The output text up to the merged content's last piece, and the hash.
struct CandidateStream {
    std::size_t lore_size;
    std::uint64_t seed;
    SeededFnv1a hash;
    LoreFacts facts;
    std::string out;
    bool out_of_order = false;

    void start(std::string_view id, std::string_view title) {
        // Every text is written in at most the bytes it took in the lore's text;
        // the id appears twice and the title once more.
        out.reserve(lore_size + 6 * (id.size() + title.size()) + 2 * 20 + 128);
        advise_huge_pages(out.data(), out.capacity());
        out.append(R"({"id":"candidate-)");
        append_slug(out, id);
        out.push_back('-');
        json::write_u64(out, seed);
        out.append(R"(","block":{"id":")");
        json::write_escaped(out, id);
        out.append(R"(:hybrid","content":")");
        hash.update(id);
        hash.update(title);
    }

    void add(const StreamBlock& block) {
        hash.update(block.id.view);
        hash.update(block.content.view);
        facts.add_block(is_blank(block.id.view), is_blank(block.content.view));
        if (facts.blocks > 1) {
            out.push_back(' ');
        }
        const std::string_view piece = trim_white_space(block.content.view);
        // A string read straight from the text holds nothing that needs an escape.
        if (block.content.escaped) {
            json::write_escaped(out, piece);
        } else {
            out.append(piece);
        }
    }
};

struct StreamBlocks {
    static constexpr FieldType kFieldType = FieldType::RecordList;
    CandidateStream* stream;
    const HeldText* id;
    const HeldText* title;

    Result<void, JsonError> decode(Reader& reader) {
        if (!id->given || !title->given) {
            stream->out_of_order = true;
            return fail(JsonError{});  // stops this reading; the records are built instead
        }
        stream->start(id->view, title->view);
        StreamBlock block;
        return decode_each(reader, block, [&](const StreamBlock& decoded) { stream->add(decoded); });
    }
};

struct StreamLore {
    HeldText id;
    HeldText title;
    StreamBlocks blocks;
};

}  // namespace

template <>
struct Binding<StreamBlock> {
    static constexpr const RecordInfo& info = kNarrativeBlockInfo;
    static constexpr auto members = std::make_tuple(&StreamBlock::id, &StreamBlock::content);
};

template <>
struct Binding<StreamLore> {
    static constexpr const RecordInfo& info = kNarrativeLoreInfo;
    static constexpr auto members = std::make_tuple(&StreamLore::id, &StreamLore::title, &StreamLore::blocks);
};

namespace {

// From the records: the lore decoded whole, then the candidate encoded.
Result<std::string, NarrativeError> generate_from_records(std::string_view lore_json, std::string_view config_json) {
    HybridCandidate candidate;
    {
        // Both texts decode before anything is validated.
        auto lore = decode_lore(lore_json);
        if (!lore) {
            return fail(NarrativeError::serialization(lore.error()));
        }
        auto config = decode_config(config_json);
        if (!config) {
            return fail(NarrativeError::serialization(config.error()));
        }
        auto generated = generate_candidate(*lore, *config);
        if (!generated) {
            return fail(std::move(generated).error());
        }
        candidate = std::move(generated).value();
    }  // The decoded lore is released here, before the text is encoded: it lowers the peak for large lores.
    return encode_candidate(candidate);
}

}  // namespace

}  // namespace detail

Result<std::string, NarrativeError> generate_candidate_json(std::string_view lore_json,
                                                            std::string_view config_json) {
    // The configuration is tiny and its seed starts the hash, so it is read
    // first; its errors still come after the lore's.
    auto config = decode_config(config_json);
    detail::CandidateStream stream{lore_json.size(), config ? config->seed : 0, detail::SeededFnv1a(0), {}, {}};
    stream.hash = detail::SeededFnv1a(stream.seed);
    detail::StreamLore lore;
    lore.blocks = {&stream, &lore.id, &lore.title};
    if (auto decoded = detail::decode_whole(lore_json, lore); !decoded) {
        if (stream.out_of_order) {
            return detail::generate_from_records(lore_json, config_json);
        }
        return fail(NarrativeError::serialization(std::move(decoded).error()));
    }
    if (!config) {
        return fail(NarrativeError::serialization(config.error()));
    }
    stream.facts.id_blank = is_blank(lore.id.view);
    stream.facts.title_blank = is_blank(lore.title.view);
    if (auto checked = stream.facts.check(); !checked) {
        return fail(std::move(checked).error());
    }
    if (auto checked = validate_config(*config); !checked) {
        return fail(std::move(checked).error());
    }
    std::string& out = stream.out;
    out.append(R"("},"score":)");
    json::write_f64(out, detail::candidate_score(stream.hash.value(), config->temperature));
    out.append(R"(,"rationale":"Hybridized )");
    json::write_u64(out, stream.facts.blocks);
    out.append(" block(s) from '");
    json::write_escaped(out, lore.title.view);
    out.append("' with seed ");
    json::write_u64(out, config->seed);
    out.append(R"(."})");
    return std::move(out);
}

}  // namespace qf
