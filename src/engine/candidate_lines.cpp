// The lines operation: split, blank test, UTF-8 test and one candidate per
// line, all into one growing Output, with no allocation per line but the
// messages of failed lines.
#include <charconv>
#include <cstdio>

#include "candidate_lines.hpp"
#include "quillforge/codec.hpp"
#include "quillforge/lines.hpp"
#include "quillforge/text/classes.hpp"
#include "quillforge/text/utf8.hpp"
#include "quillforge/validation.hpp"

namespace qf {

namespace {

// Cold: a line that fails is rare, and its message is built only then.
[[gnu::cold, gnu::noinline]] void add_not_utf8(std::vector<LineFailure>& failures, std::size_t index,
                                               std::string_view line, std::size_t offset) {
    char text[96];
    const int size = std::snprintf(text,
                                   sizeof text,
                                   "not valid UTF-8 (byte 0x%02x at offset %zu)",
                                   static_cast<unsigned char>(line[offset]),
                                   offset);
    failures.push_back({index,
                        std::string(text, static_cast<std::size_t>(size)),
                        LineFailure::Kind::Encoding,
                        static_cast<std::int64_t>(offset)});
}

[[gnu::cold, gnu::noinline]] void add_failure(std::vector<LineFailure>& failures, std::size_t index,
                                              const NarrativeError& error) {
    const bool serialization = error.kind() == NarrativeError::Kind::Serialization;
    const bool placed = serialization && error.line() != 0;
    failures.push_back({index,
                        error.display(),
                        serialization ? LineFailure::Kind::Serialization : LineFailure::Kind::Validation,
                        placed ? static_cast<std::int64_t>(error.column()) : -1});
}

}  // namespace

Result<CandidateLines, NarrativeError> CandidateLines::make(std::string_view config_json) {
    auto config = decode_config(config_json);
    if (!config) {
        return fail(NarrativeError::serialization(config.error(), NarrativeError::Input::Config));
    }
    if (auto checked = validate_config(*config); !checked) {
        return fail(std::move(checked).error());
    }
    return CandidateLines(*config);
}

CandidateLines::CandidateLines(const LabConfig& config)
    : config_(config),
      seed_size_(static_cast<std::size_t>(std::to_chars(seed_, seed_ + sizeof seed_, config.seed).ptr - seed_)),
      pieces_(std::string_view(seed_, seed_size_)) {}

LinesRead CandidateLines::answer(std::string_view block, json::Output& out, std::vector<LineFailure>& failures,
                                 bool stop_at_failure) const {
    LinesRead read;
    const std::string_view seed(seed_, seed_size_);
    const char* const end = block.data() + block.size();
    for (const char* at = block.data(); at != end; ++read.lines) {
        const auto* feed = static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
        std::string_view line(at, static_cast<std::size_t>((feed != nullptr ? feed : end) - at));
        at = feed != nullptr ? feed + 1 : end;
        if (feed != nullptr && line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        if (line.empty() || text::is_blank_line(line)) {
            continue;
        }
        if (const std::size_t bad = text::first_invalid(line); bad != std::string_view::npos) [[unlikely]] {
            add_not_utf8(failures, read.lines, line, bad);
        } else if (detail::write_plain_candidate(line, config_, pieces_, out)) [[likely]] {
            ++read.written;
            continue;
        } else {
            const std::size_t before = out.size();
            if (auto written = detail::generate_candidate_json(line, config_, seed, out); written) [[likely]] {
                out.push_back('\n');
                ++read.written;
                continue;
            } else {
                out.shrink_to(before);
                add_failure(failures, read.lines, written.error());
            }
        }
        if (stop_at_failure) {
            ++read.lines;
            read.stopped = true;
            break;
        }
    }
    return read;
}

}  // namespace qf
