// CandidateLines on any block of bytes against one generate_candidate_json
// call per line, with the line rules and the UTF-8 check written out plainly
// here; the block cut in two at a line end gives the same answers.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_check.hpp"
#include "quillforge/engine.hpp"
#include "quillforge/lines.hpp"

namespace {

constexpr std::string_view kConfig = R"({"temperature":0.7,"max_candidates":3,"seed":42})";

// Where the first ill-formed sequence starts, from the table of well-formed byte sequences.
std::size_t bad_utf8_at(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char b = p[i];
        std::size_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (b < 0x80) {
            ++i;
            continue;
        }
        if (b >= 0xC2 && b <= 0xDF) {
            length = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            length = 3;
            low = b == 0xE0 ? 0xA0 : 0x80;
            high = b == 0xED ? 0x9F : 0xBF;
        } else if (b >= 0xF0 && b <= 0xF4) {
            length = 4;
            low = b == 0xF0 ? 0x90 : 0x80;
            high = b == 0xF4 ? 0x8F : 0xBF;
        } else {
            return i;
        }
        if (i + length > text.size() || p[i + 1] < low || p[i + 1] > high) {
            return i;
        }
        for (std::size_t k = 2; k < length; ++k) {
            if (p[i + k] < 0x80 || p[i + k] > 0xBF) {
                return i;
            }
        }
        i += length;
    }
    return std::string_view::npos;
}

// "<output>|<index>:<message>...#<lines>", line by line.
std::string reference(std::string_view block) {
    std::string out;
    std::string failed;
    std::size_t index = 0;
    for (std::size_t start = 0; start < block.size(); ++index) {
        std::size_t end = block.find('\n', start);
        const bool fed = end != std::string_view::npos;
        end = fed ? end : block.size();
        std::string_view line = block.substr(start, end - start);
        start = fed ? end + 1 : end;
        if (fed && !line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.find_first_not_of(std::string_view(" \t\n\r\v\f", 6)) == std::string_view::npos) {
            continue;
        }
        if (const std::size_t bad = bad_utf8_at(line); bad != std::string_view::npos) {
            char text[96];
            std::snprintf(text,
                          sizeof text,
                          "not valid UTF-8 (byte 0x%02x at offset %zu)",
                          static_cast<unsigned char>(line[bad]),
                          bad);
            failed += "|" + std::to_string(index) + ":" + text;
        } else if (auto candidate = qf::generate_candidate_json(line, kConfig)) {
            out += *candidate + "\n";
        } else {
            failed += "|" + std::to_string(index) + ":" + candidate.error().display();
        }
    }
    return out + failed + "#" + std::to_string(index);
}

std::string answered(const qf::CandidateLines& lines, std::string_view block, std::size_t cut) {
    qf::json::Output out;
    std::vector<qf::LineFailure> failures;
    const qf::LinesRead first = lines.answer(block.substr(0, cut), out, failures);
    const std::size_t before = failures.size();
    const qf::LinesRead second = lines.answer(block.substr(cut), out, failures);
    std::string shown(out.view());
    for (std::size_t i = 0; i < failures.size(); ++i) {
        shown += "|" + std::to_string(failures[i].index + (i < before ? 0 : first.lines)) + ":" + failures[i].message;
    }
    return shown + "#" + std::to_string(first.lines + second.lines);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const auto lines = qf::CandidateLines::make(kConfig);
    const std::string_view block = qf::fuzz::as_text(data, size);
    const std::string expected = reference(block);
    // Cut after a line end picked by the first byte, or not at all.
    std::size_t cut = 0;
    if (size != 0) {
        for (std::size_t skip = data[0] % 8, at = 0; at < size; ++at) {
            if (block[at] == '\n' && skip-- == 0) {
                cut = at + 1;
                break;
            }
        }
    }
    const std::string got = answered(*lines, block, cut);
    QF_FUZZ_CHECK(got == expected, got.c_str());
    return 0;
}
