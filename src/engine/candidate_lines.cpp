// The lines operation: split, blank test, UTF-8 test and one candidate per
// line, all into one growing Output, with no allocation per line but the
// messages of failed lines.
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "candidate_lines.hpp"
#include "quillforge/codec.hpp"
#include "quillforge/json/detail/utf8.hpp"
#include "quillforge/lines.hpp"
#include "quillforge/validation.hpp"

namespace qf {

namespace {

// The batch's blank set, which, unlike the engine's is_blank, holds "\v".
bool is_blank_line(std::string_view line) noexcept {
    for (const char c : line) {
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '\v' && c != '\f') {
            return false;
        }
    }
    return true;
}

// Cold: a line that fails is rare, and its message is built only then.
[[gnu::cold, gnu::noinline]] void add_not_utf8(std::vector<LineFailure>& failures, std::size_t index,
                                               std::string_view line, std::size_t offset) {
    char text[96];
    const int size = std::snprintf(text,
                                   sizeof text,
                                   "not valid UTF-8 (byte 0x%02x at offset %zu)",
                                   static_cast<unsigned char>(line[offset]),
                                   offset);
    failures.push_back({index, std::string(text, static_cast<std::size_t>(size))});
}

[[gnu::cold, gnu::noinline]] void add_failure(std::vector<LineFailure>& failures, std::size_t index,
                                              const NarrativeError& error) {
    failures.push_back({index, error.display()});
}

// How many of the kAsciiRun bytes at `at` are ASCII before the first that is not.
#if defined(__SSE2__)
constexpr std::ptrdiff_t kAsciiRun = 16;
std::ptrdiff_t ascii_prefix(const char* at) noexcept {
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at))));
    return mask == 0 ? kAsciiRun : std::countr_zero(mask);
}
#else
constexpr std::ptrdiff_t kAsciiRun = 8;
std::ptrdiff_t ascii_prefix(const char* at) noexcept {
    std::uint64_t word = 0;
    std::memcpy(&word, at, 8);
    word &= 0x8080808080808080u;
    if (word == 0) {
        return kAsciiRun;
    }
    return (std::endian::native == std::endian::little ? std::countr_zero(word) : std::countl_zero(word)) / 8;
}
#endif

}  // namespace

std::size_t first_bad_utf8(std::string_view text) noexcept {
    const char* const begin = text.data();
    const char* const end = begin + text.size();
    const char* at = begin;
    while (at != end) {
        // Straight to the next byte that is not ASCII, sixteen bytes (eight
        // without SSE2) at a look: a line of mixed text has one every few bytes.
        if (end - at >= kAsciiRun) {
            const std::ptrdiff_t ascii = ascii_prefix(at);
            at += ascii;
            if (ascii == kAsciiRun) {
                continue;
            }
        } else if (static_cast<unsigned char>(*at) < 0x80) {
            ++at;
            continue;
        }
        // At a byte that is not ASCII, only a malformed sequence is one byte
        // long; the value is not needed, so it is not computed.
        const std::size_t length =
            json::detail::decode_scalar(std::string_view(at, static_cast<std::size_t>(end - at))).length;
        if (length == 1) {
            return static_cast<std::size_t>(at - begin);
        }
        at += length;
    }
    return std::string_view::npos;
}

Result<CandidateLines, NarrativeError> CandidateLines::make(std::string_view config_json) {
    auto config = decode_config(config_json);
    if (!config) {
        return fail(NarrativeError::serialization(config.error()));
    }
    if (auto checked = validate_config(*config); !checked) {
        return fail(std::move(checked).error());
    }
    return CandidateLines(*config);
}

LinesRead CandidateLines::answer(std::string_view block, json::Output& out, std::vector<LineFailure>& failures,
                                 bool stop_at_failure) const {
    LinesRead read;
    const char* const end = block.data() + block.size();
    for (const char* at = block.data(); at != end; ++read.lines) {
        const auto* feed = static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
        std::string_view line(at, static_cast<std::size_t>((feed != nullptr ? feed : end) - at));
        at = feed != nullptr ? feed + 1 : end;
        if (feed != nullptr && line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        if (line.empty() || is_blank_line(line)) {
            continue;
        }
        if (const std::size_t bad = first_bad_utf8(line); bad != std::string_view::npos) [[unlikely]] {
            add_not_utf8(failures, read.lines, line, bad);
        } else {
            const std::size_t before = out.size();
            if (auto written = detail::generate_candidate_json(line, config_, out); written) [[likely]] {
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
