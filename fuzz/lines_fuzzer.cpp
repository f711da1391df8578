// CandidateLines on any block of bytes against one generate_candidate_json
// call per line, with the line rules written out plainly here and the UTF-8
// check by code point value (support.hpp); the block cut in two at a line end
// gives the same answers.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_check.hpp"
#include "quillforge/engine.hpp"
#include "quillforge/lines.hpp"
#include "support.hpp"

namespace {

constexpr std::string_view kConfig = R"({"temperature":0.7,"max_candidates":3,"seed":42})";

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
        if (const std::size_t bad = qf::test::reference_utf8(line).bad; bad != std::string_view::npos) {
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
