// The result str builder against PyUnicode_FromStringAndSize, with every
// implementation this CPU runs: same kind, length, ASCII flag and characters
// for valid UTF-8, the same exception for anything else.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "python/str_check.hpp"
#include "python/str_from_utf8.hpp"
#include "python/utf8_transcode.hpp"
#include "support.hpp"

namespace {

using qf::py::Ref;
namespace utf8 = qf::py::utf8;

using qf::test::built;
using qf::test::to_utf8;

// The characters on each side of every width's edge.
constexpr char32_t kEdges[] = {0x00, 0x7F, 0x80, 0xFF, 0x100, 0x7FF, 0x800, 0xD7FF, 0xE000, 0xFFFF, 0x10000, 0x10FFFF};

// Random characters, mostly ASCII, with some of every width and the edges.
std::string random_text(std::mt19937_64& random, std::size_t bytes) {
    // Each width's range, ASCII chosen 55 times in 100, the others 10 and the edges 5.
    constexpr char32_t kFrom[] = {0, 0x80, 0x100, 0x800, 0x10000}, kTo[] = {0x80, 0x100, 0x800, 0x10000, 0x110000};
    std::string out;
    while (out.size() < bytes) {
        const auto roll = random() % 100;
        const std::size_t range = roll < 55 ? 0 : 1 + (roll - 55) / 10;
        char32_t c =
            range < 5 ? kFrom[range] + random() % (kTo[range] - kFrom[range]) : kEdges[random() % std::size(kEdges)];
        c = c >= 0xD800 && c < 0xE000 ? c + 0x800 : c;  // surrogates are not characters
        out += to_utf8(c);
    }
    return out;
}

std::vector<const utf8::Kernels*> all_kernels() {
    std::vector<const utf8::Kernels*> found;
    for (const auto isa : {utf8::Isa::Portable, utf8::Isa::Sse2, utf8::Isa::Avx2, utf8::Isa::Avx512}) {
        if (const utf8::Kernels* kernels = utf8::kernels_for(isa)) {
            found.push_back(kernels);
        }
    }
    return found;
}

// Transcodes into room for the characters and 64 slots more: true when those
// stay as they were.
template <class Slot>
bool writes_only_its_slots(void (*transcode)(std::string_view, Slot*, std::size_t) noexcept, std::string_view bytes,
                           std::size_t characters) {
    std::vector<Slot> out(characters + 64, Slot{0x5A});
    transcode(bytes, out.data(), characters);
    return std::all_of(
        out.begin() + static_cast<std::ptrdiff_t>(characters), out.end(), [](Slot slot) { return slot == Slot{0x5A}; });
}

class StrFromUtf8 : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Py_InitializeEx(0); }
    static void TearDownTestSuite() { Py_FinalizeEx(); }

    // Every implementation and the public function against CPython; also
    // what measure finds.
    static void check(std::string_view bytes) {
        const qf::test::Built reference = qf::test::cpython_str(bytes);
        const std::size_t ascii = static_cast<std::size_t>(
            std::ranges::find_if(bytes, [](char c) { return static_cast<unsigned char>(c) >= 0x80; }) - bytes.begin());
        for (const utf8::Kernels* kernels : kernels_) {
            SCOPED_TRACE(kernels->name);
            std::string copy(bytes.size(), '\xFF');
            ASSERT_EQ(kernels->copy_ascii(bytes, copy.data()), ascii);
            if (ascii == bytes.size()) {
                EXPECT_EQ(copy, bytes);
            }
            const utf8::Shape shape = kernels->measure(bytes);
            ASSERT_EQ(shape.valid, static_cast<bool>(reference.str));
            if (PyObject* str = reference.str.get()) {
                EXPECT_EQ(shape.characters, static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)));
                const int kind = PyUnicode_KIND(str);
                EXPECT_EQ(shape.width,
                          kind == 1   ? (PyUnicode_IS_ASCII(str) ? utf8::Width::Ascii : utf8::Width::Latin1)
                          : kind == 2 ? utf8::Width::Ucs2
                                      : utf8::Width::Ucs4);
                EXPECT_TRUE(shape.width == utf8::Width::Ascii ||
                            (shape.width == utf8::Width::Latin1
                                 ? writes_only_its_slots(kernels->to_latin1, bytes, shape.characters)
                             : shape.width == utf8::Width::Ucs2
                                 ? writes_only_its_slots(kernels->to_ucs2, bytes, shape.characters)
                                 : writes_only_its_slots(kernels->to_ucs4, bytes, shape.characters)));
            }
            EXPECT_STREQ(str_difference(built(qf::py::detail::build_str(bytes, *kernels)), reference), nullptr);
        }
        EXPECT_STREQ(str_difference(built(qf::py::str_from_utf8(bytes)), reference), nullptr) << "str_from_utf8";
    }

    static inline std::vector<const utf8::Kernels*> kernels_ = all_kernels();
};

TEST_F(StrFromUtf8, RunsEveryImplementationThisCpuHas) {
    // The wide ones are what the module uses here; a CPU without them is
    // still covered by the portable and SSE2 runs.
    for (const utf8::Kernels* kernels : kernels_) {
        std::printf("[ implementation ] %s\n", kernels->name);
    }
    EXPECT_STREQ(utf8::kernels().name, kernels_.back()->name);
}

#if defined(__x86_64__) && defined(__GNUC__)
// The wide implementations are chosen with CPUID; GCC's and clang's runtimes
// see the same CPU (zig's, which builds the wheel, does not, hence CPUID).
TEST(Kernels, ChosenAsTheCompilerRuntimeSeesTheCpu) {
    __builtin_cpu_init();
    const bool avx2 =
        __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("popcnt");
    const bool avx512 = avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi");
    EXPECT_EQ(utf8::kernels_for(utf8::Isa::Avx2) != nullptr, avx2);
    EXPECT_EQ(utf8::kernels_for(utf8::Isa::Avx512) != nullptr, avx512);
}
#endif

TEST_F(StrFromUtf8, EachEdgeCharacterAtEveryOffsetAndLength) {
    // One edge character in ASCII text, at every offset across the 16-, 32-
    // and 64-byte blocks and the read-ahead, in texts whose ends fall on
    // every vector width.
    for (const char32_t edge : kEdges) {
        const std::string character = to_utf8(edge);
        for (std::size_t length : {130u, 160u, 161u, 200u}) {
            for (std::size_t at = 0; at + character.size() <= length; ++at) {
                std::string text(length, 'q');
                text.replace(at, character.size(), character);
                SCOPED_TRACE(testing::Message() << "U+" << std::hex << static_cast<std::uint32_t>(edge) << std::dec
                                                << " at " << at << " of " << length);
                check(text);
            }
        }
    }
}

TEST_F(StrFromUtf8, RunsOfOneWidthEndingAnywhere) {
    // Texts of one character repeated, every length up to a few blocks: the
    // output fills before the input ends (four bytes to one slot) or with it.
    for (const char32_t c : {U'a', U'\u00e9', U'\u0101', U'\u20ac', U'\U0001F30A', U'\U0010FFFF'}) {
        std::string text;
        for (std::size_t count = 0; count <= 150; ++count, text += to_utf8(c)) {
            SCOPED_TRACE(testing::Message()
                         << "U+" << std::hex << static_cast<std::uint32_t>(c) << std::dec << " x" << count);
            check(text);
            check("ab" + text + "z");
            check(std::string(64, 'a') + text);  // the last characters after a block of ASCII
        }
    }
}

TEST_F(StrFromUtf8, RandomTextOfEveryWidth) {
    std::mt19937_64 random(20240611);
    for (int round = 0; round < 400; ++round) {
        const std::size_t bytes = round < 300 ? random() % 600 : random() % 20000;
        std::string text = random_text(random, bytes);
        // Narrow some texts to Latin-1 or UCS-2 characters only.
        if (round % 3 == 1) {
            std::string narrowed;
            for (std::size_t i = 0; i < text.size(); ++i) {
                narrowed += static_cast<unsigned char>(text[i]) < 0x80 ? text.substr(i, 1) : to_utf8(0xA0 + i % 0x60);
            }
            text = narrowed;
        }
        SCOPED_TRACE(testing::Message() << "round " << round << ", " << text.size() << " bytes");
        check(text);
    }
}

TEST_F(StrFromUtf8, AroundTheThresholdAndWithHugePagesAdvised) {
    std::mt19937_64 random(7);
    for (std::size_t size = qf::py::kStrFromUtf8Threshold - 8; size <= qf::py::kStrFromUtf8Threshold + 8; ++size) {
        std::string text = random_text(random, size);
        text.resize(size, 'x');  // may cut the last character: malformed on purpose sometimes
        check(text);
        check(std::string(size, 'x'));
    }
    // Above 4 MB of storage the builder asks for huge pages; the text must
    // come out the same.
    check(random_text(random, 5u << 20));
    check(std::string(9u << 20, 'a') + to_utf8(0x10000));
}

TEST_F(StrFromUtf8, MalformedSequencesAtEveryOffset) {
    // The sequences of tests/data/utf8_sequences.jsonl inside valid text, at
    // every offset across block edges, and cut off by the end.
    std::mt19937_64 random(3);
    const std::string body = random_text(random, 160);
    for (const qf::test::Row& row : qf::test::read_rows("utf8_sequences.jsonl", 1)) {
        const std::string& bad = *row[0];
        for (std::size_t at = 0; at <= 140; ++at) {
            // Keep the body's characters whole around the insertion.
            std::string text = body;
            std::size_t cut = at;
            while (cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
                ++cut;
            }
            text.insert(cut, bad);
            SCOPED_TRACE(testing::Message() << testing::PrintToString(bad) << " at " << cut);
            check(text);
            check(text.substr(0, cut + bad.size()));
        }
    }
}

TEST_F(StrFromUtf8, EveryBytePairAtBlockEdges) {
    // All 65,536 byte pairs, straddling the edges of 16-, 32- and 64-byte
    // blocks: measure must agree with CPython on validity each time.
    for (const std::size_t at : {15u, 31u, 63u, 64u}) {
        std::string text(at + 40, 'w');
        for (unsigned pair = 0; pair < 0x10000; ++pair) {
            text[at] = static_cast<char>(pair >> 8);
            text[at + 1] = static_cast<char>(pair & 0xFF);
            Ref reference(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
            PyErr_Clear();
            for (const utf8::Kernels* kernels : kernels_) {
                if (kernels->measure(text).valid != (static_cast<bool>(reference))) {
                    ADD_FAILURE() << kernels->name << ": pair " << std::hex << pair << " at " << std::dec << at;
                    return;
                }
            }
            if (reference && pair % 97 == 0) {
                check(text);
            }
        }
    }
}

}  // namespace
