// What the C++ tests (and the fuzz targets that check the same things) share:
// the rows of the data files under tests/data, a decoding's outcome as one
// comparable string, and the oracles that a fast path is checked against.
// No GoogleTest here, so that the fuzz targets can include it.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "engine/candidate_score.hpp"
#include "engine/content_writer.hpp"
#include "engine/unicode_text.hpp"
#include "quillforge/codec.hpp"
#include "quillforge/json/detail/string_scan.hpp"
#include "quillforge/json/reader.hpp"
#include "quillforge/json/writer.hpp"
#include "quillforge/text/transcode.hpp"
#include "quillforge/validation.hpp"

namespace qf::test {

// Joins pieces by appending (g++ 12 warns falsely on "literal" + std::string).
template <class... Pieces>
std::string cat(const Pieces&... pieces) {
    std::string out;
    (out.append(std::string_view(pieces)), ...);
    return out;
}

// "ok", or what `show` makes of the value, for a success; else the error's display text.
template <class Result>
std::string outcome(const Result& result) {
    return result ? "ok" : result.error().display();
}
template <class Result, class Show>
std::string outcome(const Result& result, Show show) {
    return result ? show(*result) : result.error().display();
}

// Shortest text that reads back to the same double ("-0" for negative zero):
// the standard library's, so a value is never shown by the writer under test.
inline std::string shortest(double value) {
    char buffer[32];
    return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

inline std::string to_utf8(char32_t c) {
    if (c < 0x80) {
        return std::string(1, static_cast<char>(c));
    }
    const std::size_t length = c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    std::string out(length, '\0');
    for (std::size_t i = length - 1; i > 0; --i, c >>= 6) {
        out[i] = static_cast<char>(0x80 | (c & 0x3F));
    }
    out[0] = static_cast<char>(0xFF00 >> length | c);  // the lead byte's marks, then its bits
    return out;
}

// UTF-8 decoded by code point value, as a check on the byte-range rules the
// text layer uses: the characters, and where the first ill-formed sequence
// starts (npos when none), which is where Python's strict decoder reports it.
struct Utf8Reference {
    std::u32string characters;
    std::size_t bad = std::string_view::npos;
};

inline Utf8Reference reference_utf8(std::string_view text) {
    Utf8Reference out;
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char lead = byte(i);
        const std::size_t length = lead < 0x80   ? 1
                                   : lead < 0xC0 ? 0
                                   : lead < 0xE0 ? 2
                                   : lead < 0xF0 ? 3
                                   : lead < 0xF8 ? 4
                                                 : 0;
        constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        char32_t c = length == 1 ? lead : lead & (0x7F >> length);
        bool ok = length != 0 && i + length <= text.size();
        for (std::size_t k = 1; ok && k < length; ++k) {
            ok = (byte(i + k) & 0xC0) == 0x80;
            c = c << 6 | (byte(i + k) & 0x3F);
        }
        if (!ok || c < kLeast[length] || (c >= 0xD800 && c < 0xE000) || c > 0x10FFFF) {
            out.bad = i;
            return out;
        }
        out.characters += c;
        i += length;
    }
    return out;
}

// The str width the reference's characters need.
inline text::utf8::Width width_of(const std::u32string& characters) {
    const char32_t widest = characters.empty() ? 0 : *std::ranges::max_element(characters);
    return widest < 0x80      ? text::utf8::Width::Ascii
           : widest < 0x100   ? text::utf8::Width::Latin1
           : widest < 0x10000 ? text::utf8::Width::Ucs2
                              : text::utf8::Width::Ucs4;
}

// Every implementation of the two passes this CPU runs, the widest last.
inline std::vector<const text::utf8::Kernels*> all_kernels() {
    std::vector<const text::utf8::Kernels*> found;
    constexpr text::Isa kIsas[] = {
        text::Isa::Portable,
        text::Isa::Sse2,
        text::Isa::Avx2,
        text::Isa::Avx512,
#if defined(__aarch64__) && defined(__ARM_NEON)
        text::Isa::Neon,
#endif
    };
    for (const auto isa : kIsas) {
        if (const text::utf8::Kernels* kernels = text::utf8::kernels_for(isa)) {
            found.push_back(kernels);
        }
    }
    return found;
}

// The characters on each side of every str width's edge and the surrogates'.
inline constexpr char32_t kEdgeCharacters[] = {
    0x00, 0x7F, 0x80, 0xFF, 0x100, 0x7FF, 0x800, 0xD7FF, 0xE000, 0xFFFF, 0x10000, 0x10FFFF};

// Random characters, mostly ASCII, with some of every width and the edges.
template <class Random>
std::string random_text(Random& random, std::size_t bytes) {
    // Each width's range, ASCII chosen 55 times in 100, the others 10 and the edges 5.
    constexpr char32_t kFrom[] = {0, 0x80, 0x100, 0x800, 0x10000}, kTo[] = {0x80, 0x100, 0x800, 0x10000, 0x110000};
    std::string out;
    while (out.size() < bytes) {
        const auto roll = random() % 100;
        const std::size_t range = roll < 55 ? 0 : 1 + (roll - 55) / 10;
        char32_t c = range < 5 ? kFrom[range] + static_cast<char32_t>(random() % (kTo[range] - kFrom[range]))
                               : kEdgeCharacters[random() % std::size(kEdgeCharacters)];
        c = c >= 0xD800 && c < 0xE000 ? c + 0x800 : c;  // surrogates are not characters
        out += to_utf8(c);
    }
    return out;
}

// Random texts of every width given to `check`, each third one narrowed to
// Latin-1 or UCS-2 characters; the first three quarters short, the rest long.
template <class Check>
void for_random_texts(int rounds, Check check) {
    std::mt19937_64 random(20240611);
    for (int round = 0; round < rounds; ++round) {
        const std::size_t bytes = round < rounds * 3 / 4 ? random() % 600 : random() % 20000;
        std::string text = random_text(random, bytes);
        if (round % 3 == 1) {
            std::string narrowed;
            for (std::size_t i = 0; i < text.size(); ++i) {
                narrowed += static_cast<unsigned char>(text[i]) < 0x80 ? text.substr(i, 1) : to_utf8(0xA0 + i % 0x60);
            }
            text = narrowed;
        }
        check(text);
    }
}

// A data file is JSON Lines: each line an array of strings, or null where a
// column does not apply; blank lines and lines starting with # are notes. The
// strings use the escapes \" \\ \n \r \t and \uXXXX (pairs for astral
// characters), where \udc80-\udcff stand for the raw bytes 0x80-0xff, as
// Python's surrogateescape writes them, so that any bytes can be a row. The
// reader under test is not used to read them; Python's json module can.
using Row = std::vector<std::optional<std::string>>;

inline Row parse_row(std::string_view line) {
    Row row;
    std::size_t i = 0;
    const auto fail = [&](const char* what) -> char { throw std::runtime_error(cat(what, " in data row ", line)); };
    const auto next = [&] { return i < line.size() ? line[i++] : fail("cut short"); };
    const auto skip_spaces = [&] { i = std::min(line.find_first_not_of(' ', i), line.size()); };
    const auto hex4 = [&] {
        unsigned value = 0;
        if (i + 4 > line.size() || std::from_chars(&line[i], &line[i] + 4, value, 16).ptr != &line[i] + 4) {
            fail("bad \\u escape");
        }
        i += 4;
        return static_cast<char32_t>(value);
    };
    char c = next() == '[' ? ',' : fail("no array");
    for (; c == ','; c = next()) {
        skip_spaces();
        if (line.substr(i, 4) == "null") {
            row.emplace_back();
            i += 4;
        } else if (next() != '"') {
            fail("neither a string nor null");
        } else {
            for (std::string& text = row.emplace_back().emplace(); (c = next()) != '"';) {
                constexpr std::string_view kLetters = "\"\\nrt", kBytes = "\"\\\n\r\t";
                if (c != '\\') {
                    text += c;
                } else if (c = next(); kLetters.find(c) != std::string_view::npos) {
                    text += kBytes[kLetters.find(c)];
                } else if (char32_t unit = c == 'u' ? hex4() : fail("unknown escape");
                           unit >= 0xDC80 && unit <= 0xDCFF) {
                    text += static_cast<char>(unit & 0xFF);
                } else {
                    if (unit >= 0xD800 && unit < 0xDC00 && line.substr(i, 2) == "\\u") {
                        i += 2;
                        const char32_t low = hex4();
                        unit = low - 0xDC00 < 0x400 ? 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00) : unit;
                    }
                    text += unit >= 0xD800 && unit < 0xE000 ? (fail("lone surrogate"), "") : to_utf8(unit);
                }
            }
        }
        skip_spaces();
    }
    if (c != ']' || i != line.size()) {
        fail("no ] at the end");
    }
    return row;
}

// Every row of tests/data/<name>, each with `columns` entries.
inline std::vector<Row> read_rows(std::string_view name, std::size_t columns) {
    std::ifstream file(cat(QF_TEST_DATA_DIR, "/", name));
    std::vector<Row> rows;
    for (std::string line; std::getline(file, line);) {
        if (!line.empty() && line[0] != '#') {
            rows.push_back(parse_row(line));
            if (rows.back().size() != columns) {
                throw std::runtime_error(cat("not ", std::to_string(columns), " columns in data row ", line));
            }
        }
    }
    if (rows.empty()) {
        throw std::runtime_error(cat("no rows in tests/data/", name));
    }
    return rows;
}

// Each sequence of tests/data/utf8_sequences.jsonl inside valid text, at
// offsets 0 to `last` by `step` (moved past a character's continuation
// bytes): `check` gets the text and where the sequence ends.
template <class Check>
void for_malformed_inserts(std::size_t last, std::size_t step, Check check) {
    std::mt19937_64 random(3);
    const std::string body = random_text(random, 160);
    for (const Row& row : read_rows("utf8_sequences.jsonl", 1)) {
        for (std::size_t at = 0; at <= last; at += step) {
            std::string text = body;
            std::size_t cut = at;
            while (cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
                ++cut;
            }
            text.insert(cut, *row[0]);
            check(text, cut + row[0]->size());
        }
    }
}

// A configuration as its temperature (shortest text), max_candidates and seed.
inline std::string config_outcome(const Result<LabConfig, json::JsonError>& config) {
    return outcome(config, [](const LabConfig& c) {
        return cat(shortest(c.temperature), " ", std::to_string(c.max_candidates), " ", std::to_string(c.seed));
    });
}

// The first string scan variant that stops elsewhere than the byte-by-byte
// scan over [begin, end), or nullptr when they all agree.
inline const char* scan_disagreeing(const char* begin, const char* end) {
    namespace d = json::detail;
    const char* expected = d::find_string_stop_bytewise(begin, end);
#if defined(QF_BYTES16)
    if (d::find_string_stop_vector(begin, end) != expected) {
        return "vector";
    }
    constexpr std::ptrdiff_t kLook = 16;
#else
    constexpr std::ptrdiff_t kLook = 8;
#endif
    if (d::find_string_stop_portable(begin, end) != expected || d::find_string_stop(begin, end) != expected) {
        return "portable or chosen";
    }
    // The first look settles a stop within its reach and gives up beyond it.
    const bool reached = expected != end && expected - begin < kLook;
    return d::find_string_stop_near(begin, end) == (reached ? expected : nullptr) ? nullptr : "first look";
}

// The escape writer one byte at a time: the reference for its scan.
inline void write_escaped_bytewise(std::string& out, std::string_view text) {
    const char* run = text.data();
    const char* const end = run + text.size();
    for (const char* p = run; p != end; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        if (json::detail::kEscapeLetter[byte] != 0) {
            out.append(run, static_cast<std::size_t>(p - run));
            json::detail::append_escape(out, byte);
            run = p + 1;
        }
    }
    out.append(run, static_cast<std::size_t>(end - run));
}

// Whether the scanning escape writer, into a std::string and into an Output
// (whose short texts take their own path), writes what the byte-by-byte
// writer writes, after text already there.
inline bool escapes_agree(std::string_view text) {
    std::string scanned = "x";
    std::string bytewise = "x";
    json::Output output;
    output.push_back('x');
    json::write_escaped(scanned, text);
    json::write_escaped(output, text);
    write_escaped_bytewise(bytewise, text);
    return scanned == bytewise && output.view() == bytewise;
}

// A string body (what follows the opening quotation mark) as a candidate's
// content: the trimmed and escaped text, the hash of the decoded bytes, the
// blank test, and where the reader stops; or the error's display text.
struct Content {
    std::string text;
    std::uint64_t hash = 0;
    bool blank = false;
    std::size_t index = 0;

    bool operator==(const Content&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Content& content) {
    return os << content.text << " | hash " << content.hash << " | blank " << content.blank << " | index "
              << content.index;
}

constexpr std::uint64_t kContentSeed = 0xcbf29ce484222325u ^ 42u;

// In the one pass that candidate generation takes.
inline Content content_in_one_pass(std::string_view body) {
    json::Reader reader(body);
    std::vector<char> out(body.size() + detail::ContentWriter::kPieceBytes, '?');
    detail::ContentWriter writer(kContentSeed, out.data());
    if (auto read = reader.read_string_pieces(writer); !read) {
        return {read.error().display()};
    }
    char* const end = writer.finish();
    return {std::string(out.data(), end), writer.hash(), writer.blank(), reader.index()};
}

// In the plain steps that the one pass replaces: decode, hash, test, trim, escape.
inline Content content_in_steps(std::string_view body) {
    json::Reader reader(body);
    auto read = reader.read_string();
    if (!read) {
        return {read.error().display()};
    }
    std::string text;
    write_escaped_bytewise(text, detail::trim_white_space(*read));
    return {text, detail::fnv1a(kContentSeed, read->data(), read->size()), is_blank(*read), reader.index()};
}

// The significant digits of a decimal text (plain or e-notation) and the
// power of ten of the last one: "1.250e-7" gives "125" and -9.
struct Digits {
    std::string digits;
    int exponent = 0;

    bool operator==(const Digits&) const = default;
};

inline Digits digits_of(std::string_view text) {
    Digits result;
    const std::size_t mark = std::min(text.find_first_of("eE"), text.size());
    if (mark < text.size()) {
        result.exponent = std::atoi(std::string(text.substr(mark + 1)).c_str());
    }
    bool fraction = false;
    for (const char c : text.substr(0, mark)) {
        fraction = fraction || c == '.';
        if (c >= '0' && c <= '9') {
            result.digits += result.digits.empty() && c == '0' ? "" : std::string(1, c);
            result.exponent -= fraction ? 1 : 0;
        }
    }
    for (; !result.digits.empty() && result.digits.back() == '0'; ++result.exponent) {
        result.digits.pop_back();
    }
    return result;
}

}  // namespace qf::test
