// Candidates for many lores at once, one per line of JSON Lines text: the
// bytes the batch writes and the lines that failed, with the batch's messages.
//
// A line ends at "\n"; a "\r" just before it is not part of the line, a lone
// "\r" elsewhere (the last line's included) is. A line of nothing but " \t\n\r\v\f"
// is blank: skipped, but counted. A non-blank line that is not UTF-8 fails
// with "not valid UTF-8 (byte 0x.. at offset N)", N being where Python's
// decoder finds the first bad sequence; any other line gives its candidate or
// the engine's message for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "quillforge/error.hpp"
#include "quillforge/json/output.hpp"
#include "quillforge/records.hpp"
#include "quillforge/result.hpp"

namespace qf {

namespace detail {

// The candidate's two texts that hold the seed, made once per configuration:
// "-{seed}\",\"block\":{\"id\":\"" after the id's slug, and "' with seed
// {seed}.\"}\n" after the title, each in storage that is copied whole.
struct SeedPieces {
    static constexpr std::size_t kBytes = 48;
    explicit SeedPieces(std::string_view seed) noexcept;
    char after_slug[kBytes] = {};
    std::size_t after_slug_size;
    char after_title[kBytes] = {};
    std::size_t after_title_size;
};

}  // namespace detail

struct LineFailure {
    // A line that is not UTF-8 fails before the engine reads it.
    enum class Kind : std::uint8_t { Serialization, Validation, Encoding };

    std::size_t index;  // among the block's lines, blank ones counted, from 0
    std::string message;
    Kind kind;
    // Serialization: the error's column, as in the message; Encoding: the bad
    // byte's offset, as in the message; -1 when there is none (Validation).
    std::int64_t column;
};

struct LinesRead {
    std::size_t lines = 0;    // the block's lines, or those up to and including the failure it stopped at
    std::size_t written = 0;  // candidates written
    bool stopped = false;     // stopped at a failure
};

class CandidateLines {
public:
    // Decodes and checks the configuration once; its error is the one every
    // lore that decodes would meet.
    static Result<CandidateLines, NarrativeError> make(std::string_view config_json);

    // Answers the lines of `block`, which holds whole lines: appends each
    // candidate's JSON text and "\n" to `out`, each failed line to `failures`.
    // With `stop_at_failure`, nothing after the first failed line is read.
    // Throws std::bad_alloc when memory runs out.
    LinesRead answer(std::string_view block, json::Output& out, std::vector<LineFailure>& failures,
                     bool stop_at_failure = false) const;

private:
    explicit CandidateLines(const LabConfig& config);
    LabConfig config_;
    char seed_[20];  // the seed's decimal text, written once for every candidate
    std::size_t seed_size_;
    detail::SeedPieces pieces_;
};

}  // namespace qf
