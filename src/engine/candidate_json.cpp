// Candidate generation from JSON texts to JSON text. The lore is read once: as
// each block is decoded its bytes go through the hash and its trimmed content
// is appended to the output text, so the merged content is never built apart
// from the output. A content read after its block's id is written while it is
// read, in one loop with the hash (content_writer.hpp). The hash and the
// output begin with the lore's id and title; blocks that come before those are
// kept (views into the text, copies of the escaped ones) until both are known,
// and so is a content that comes before its block's id.
#include <functional>
#include <vector>

#include "candidate_lines.hpp"
#include "candidate_score.hpp"
#include "candidate_text.hpp"
#include "content_writer.hpp"
#include "decode_record.hpp"
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

// A block read before the lore's id or title.
struct EarlyBlock {
    StableText id;
    StableText content;
};

struct CandidateStream;
struct StreamBlock;

// A block's id once the text has started: hashed at once, only its blank test kept.
struct StreamedId {
    static constexpr FieldType kFieldType = FieldType::Text;
    Result<void, JsonError> decode(Reader& reader, StreamBlock& block);
};

// A block's content once the text has started: written as it is read when
// the block's id came first, else kept until the block ends.
struct StreamedContent {
    static constexpr FieldType kFieldType = FieldType::Text;
    Result<void, JsonError> decode(Reader& reader, StreamBlock& block);
};

struct StreamBlock {
    StreamedId id;
    StreamedContent content;

    CandidateStream& lore;
    bool id_read = false;
    bool id_blank = false;
    bool content_blank = false;
    bool content_waits = false;  // read before the id: in `waiting` until the block ends
    StableText waiting;

    explicit StreamBlock(CandidateStream& lore_) : lore(lore_) {}
};

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
    std::string_view seed;  // its text
    SeededFnv1a hash;
    LoreFacts facts;
    json::Output& out;  // the candidate's text up to the merged content's last piece
    bool started = false;
    std::vector<EarlyBlock> early_blocks;  // read before the id or the title

    CandidateStream(std::size_t lore_size_, std::uint64_t seed_, std::string_view seed_text, json::Output& out_)
        : lore_size(lore_size_), seed(seed_text), hash(seed_), out(out_) {}

    // Opens the text and the hash with the id and the title.
    void start() {
        static constexpr auto kBeforeId = json_key(kHybridCandidateInfo, "id") + "\"";
        static constexpr auto kBeforeBlockId =
            "\"" + json_key(kHybridCandidateInfo, "block") + json_key(kNarrativeBlockInfo, "id") + "\"";
        static constexpr auto kBeforeContent =
            kBlockIdSuffix + ("\"" + json_key(kNarrativeBlockInfo, "content") + "\"");
        const std::string_view lore_id = id.text();
        out.reserve(out.size() + lore_size + kCandidateTextRoom);  // the Output may already hold earlier lines
        out.append(kBeforeId.text());
        append_candidate_id(out, lore_id, seed);
        out.append(kBeforeBlockId.text());
        json::write_escaped(out, lore_id);
        out.append(kBeforeContent.text());
        hash.update(lore_id);
        hash.update(title.text());
        started = true;
    }

    // A whole content that was kept: hashed, tested, trimmed and written; true when blank.
    bool add_content(const StableText& content) {
        const std::string_view text = content.text();
        hash.update(text);
        if (facts.blocks != 0) {
            out.push_back(' ');
        }
        const std::string_view piece = trim_white_space(text);
        // A string read straight from the text holds nothing that needs an escape.
        if (content.escaped) {
            json::write_escaped(out, piece);
        } else {
            out.append(piece);
        }
        return is_blank(text);
    }

    // A content read after its block's id: written as it is read. The hash
    // goes on from `state`, which a caller may have carried past the id in a
    // register instead of through `hash`.
    Result<void, JsonError> stream_content(Reader& reader, bool& blank, std::uint64_t state) {
        if (reader.peek() != '"') [[unlikely]] {
            return fail(unexpected_field(reader, FieldType::Text));
        }
        reader.consume_peeked();
        if (facts.blocks != 0) {
            out.push_back(' ');
        }
        // The escaped text is no longer than the string's rest, nor that than the lore's rest.
        const std::size_t rest = reader.text().size() - reader.index();
        ContentWriter writer(state, out.room(rest + ContentWriter::kPieceBytes));
        if (auto read = reader.read_string_pieces(writer); !read) {
            return read;
        }
        out.advance_to(writer.finish());
        hash.resume(writer.hash());
        blank = writer.blank();
        return {};
    }

    // After the whole lore was read: the blocks that waited for the id and the title.
    void add_early_blocks() {
        if (!started) {
            start();
            for (const EarlyBlock& block : early_blocks) {
                hash.update(block.id.text());
                const bool id_blank = is_blank(block.id.text());
                facts.add_block(id_blank, add_content(block.content));
            }
        }
    }

    // Closes the content, then writes the score and the rationale.
    void finish(double temperature) {
        static constexpr auto kBeforeScore = "\"}" + json_key(kHybridCandidateInfo, "score");
        static constexpr auto kBeforeRationale = json_key(kHybridCandidateInfo, "rationale") + "\"";
        out.append(kBeforeScore.text());
        json::write_millionths(out, candidate_score_millionths(hash.value(), temperature));
        out.append(kBeforeRationale.text());
        append_rationale(out, facts.blocks, title.text(), seed, [](json::Output& text, std::string_view title) {
            json::write_escaped(text, title);
        });
        out.append("\"}", 2);
    }
};

Result<void, JsonError> StreamedId::decode(Reader& reader, StreamBlock& block) {
    auto read = read_text(reader);
    if (!read) {
        return pass_error<void>(std::move(read));
    }
    block.lore.hash.update(*read);
    block.id_blank = is_blank(*read);
    block.id_read = true;
    return {};
}

Result<void, JsonError> StreamedContent::decode(Reader& reader, StreamBlock& block) {
    if (!block.id_read) [[unlikely]] {
        block.content_waits = true;
        return block.waiting.decode(reader, block);
    }
    return block.lore.stream_content(reader, block.content_blank, block.lore.hash.value());
}

// A block in the usual layouts, `{"id":"...","content":"..."}` or Python's
// `{"id": "...", "content": "..."}`, is read
// with one look at each run of fixed bytes instead of token by token, so that
// the little work between two contents stays in the shadow of the hash chain.
// The looks consume only what the token steps would have read without an
// error, and the steps take over wherever the layout differs, so errors and
// their positions are the steps' own.
//
// The fixed bytes are the block's keys as the record table spells them.
constexpr auto kOpen = json_key(kNarrativeBlockInfo, "id");
constexpr auto kThenContent = json_key(kNarrativeBlockInfo, "content");
constexpr auto kNextOpen = "," + kOpen;
// Python's json.dumps puts a space after each comma.
constexpr auto kThenContentSpaced = JsonPiece{} + ", " + kThenContent.text().substr(1);
constexpr auto kNextOpenSpaced = ", " + kOpen;

Result<void, JsonError> stream_block(Reader& reader, StreamBlock& block) {
    if (auto entered = reader.enter(); !entered) {
        return entered;
    }
    reader.consume(kOpen.size - 1);
    // The id as StreamedId reads it, its hash carried straight into the content's.
    CandidateStream& lore = block.lore;
    auto id = read_text(reader);
    if (!id) {
        return pass_error<void>(std::move(id));
    }
    block.id_blank = is_blank(*id);
    block.id_read = true;
    const std::uint64_t after_id = fnv1a(lore.hash.value(), id->data(), id->size());
    if (reader.next_is(kThenContent.text())) {
        reader.consume(kThenContent.size);
    } else if (reader.next_is(kThenContentSpaced.text())) {
        reader.consume(kThenContentSpaced.size);
    } else {
        lore.hash.resume(after_id);
        return decode_members(reader, block, 1, false);
    }
    if (auto content = lore.stream_content(reader, block.content_blank, after_id); !content) {
        return content;
    }
    return decode_members(reader, block, 3, false);
}

// The shortcut of decode_each for blocks in the usual layouts.
struct CompactBlocks {
    static bool starts(Reader& reader, bool first) {
        if (!first && reader.next_is(kNextOpen.text())) {
            reader.consume(1);
            return true;
        }
        if (!first && reader.next_is(kNextOpenSpaced.text())) {
            reader.consume(2);
            return true;
        }
        return first && reader.next_is(kOpen.text());
    }
    static Result<void, JsonError> decode(Reader& reader, StreamBlock& block) { return stream_block(reader, block); }
};

Result<void, JsonError> StreamedBlocks::decode(Reader& reader, CandidateStream& lore) {
    // In the usual order the id and the title are known: the text starts here.
    if (lore.id.given && lore.title.given) {
        lore.start();
        StreamBlock block(lore);
        const auto take = [&](StreamBlock& decoded) {
            if (decoded.content_waits) [[unlikely]] {
                decoded.content_blank = lore.add_content(decoded.waiting);
                decoded.content_waits = false;
            }
            lore.facts.add_block(decoded.id_blank, decoded.content_blank);
            decoded.id_read = false;
        };
        return decode_each(reader, block, take, CompactBlocks{});
    }
    EarlyBlock block;
    return decode_each(reader, block, [&](const EarlyBlock& decoded) { lore.early_blocks.push_back(decoded); });
}

}  // namespace

template <>
struct Binding<EarlyBlock> {
    static constexpr const RecordInfo& info = kNarrativeBlockInfo;
    static constexpr auto members = std::make_tuple(QF_MEMBER(EarlyBlock, id), QF_MEMBER(EarlyBlock, content));
};

template <>
struct Binding<StreamBlock> {
    static constexpr const RecordInfo& info = kNarrativeBlockInfo;
    static constexpr auto members = std::make_tuple(QF_MEMBER(StreamBlock, id), QF_MEMBER(StreamBlock, content));
};

template <>
struct Binding<CandidateStream> {
    static constexpr const RecordInfo& info = kNarrativeLoreInfo;
    static constexpr auto members = std::make_tuple(QF_MEMBER(CandidateStream, id), QF_MEMBER(CandidateStream, title),
                                                    QF_MEMBER(CandidateStream, blocks));
};

}  // namespace detail

namespace {

// The operation once the configuration is decoded, or failed to: a lore's
// error comes before the configuration's, and a broken lore rule before a
// broken configuration rule. `config_error` is null when `config` holds the
// configuration; `check_config` is false when it was checked already.
Result<void, NarrativeError> write_candidate(std::string_view lore_json, const LabConfig& config,
                                             std::string_view seed_text, const json::JsonError* config_error,
                                             bool check_config, json::Output& out) {
    detail::CandidateStream lore(lore_json.size(), config.seed, seed_text, out);
    if (auto decoded = detail::decode_whole(lore_json, lore); !decoded) {
        return fail(NarrativeError::serialization(std::move(decoded).error()));
    }
    if (config_error != nullptr) {
        return fail(NarrativeError::serialization(*config_error, NarrativeError::Input::Config));
    }
    lore.add_early_blocks();
    lore.facts.id_blank = is_blank(lore.id.text());
    lore.facts.title_blank = is_blank(lore.title.text());
    if (!lore.facts.hold()) [[unlikely]] {
        if (auto checked = lore.facts.check(); !checked) {
            return fail(std::move(checked).error());
        }
    }
    if (check_config) {
        if (auto checked = validate_config(config); !checked) {
            return fail(std::move(checked).error());
        }
    }
    lore.finish(config.temperature);
    return {};
}

}  // namespace

Result<void, NarrativeError> generate_candidate_json(std::string_view lore_json, std::string_view config_json,
                                                     json::Output& out) {
    // The configuration is tiny and its seed starts the hash, so it is read
    // first; its errors still come after the lore's.
    auto config = decode_config(config_json);
    if (!config) {
        return write_candidate(lore_json, LabConfig{}, "0", &config.error(), false, out);
    }
    const detail::SeedText seed(config->seed);
    return write_candidate(lore_json, *config, seed.text(), nullptr, true, out);
}

namespace detail {

Result<void, NarrativeError> generate_candidate_json(std::string_view lore_json, const LabConfig& checked_config,
                                                     std::string_view seed_text, json::Output& out) {
    return write_candidate(lore_json, checked_config, seed_text, nullptr, false, out);
}

}  // namespace detail

}  // namespace qf
