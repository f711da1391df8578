// The text layer's byte kernels without an interpreter: every transcoder
// implementation this CPU runs, the validator, the decoder and first_invalid,
// each against a decoder by code point value (support.hpp); the fast white
// space and ASCII masks against the one-byte tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "quillforge/text/ascii.hpp"
#include "quillforge/text/classes.hpp"
#include "quillforge/text/transcode.hpp"
#include "quillforge/text/utf8.hpp"
#include "support.hpp"

namespace {

namespace text = qf::text;
namespace utf8 = qf::text::utf8;

using qf::test::kEdgeCharacters;
using qf::test::random_text;
using qf::test::to_utf8;

const std::vector<const utf8::Kernels*> kKernels = qf::test::all_kernels();

// Transcodes into room for the characters and 64 slots more; the characters
// as read back, or "overrun" when a slot past them changed.
template <class Slot>
std::u32string transcoded(void (*transcode)(std::string_view, Slot*, std::size_t) noexcept, std::string_view bytes,
                          std::size_t characters) {
    std::vector<Slot> out(characters + 64, Slot{0x5A});
    transcode(bytes, out.data(), characters);
    if (!std::all_of(out.begin() + static_cast<std::ptrdiff_t>(characters), out.end(), [](Slot slot) {
            return slot == Slot{0x5A};
        })) {
        return U"overrun";
    }
    return std::u32string(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(characters));
}

// Every implementation's passes, the scalar decoder and first_invalid against the reference.
void check(std::string_view bytes) {
    const qf::test::Utf8Reference reference = qf::test::reference_utf8(bytes);
    const bool valid = reference.bad == std::string_view::npos;
    ASSERT_EQ(text::first_invalid(bytes), reference.bad);
    std::u32string decoded;
    for (std::size_t at = 0; at < bytes.size() && at != reference.bad;) {
        const text::Scalar scalar = text::decode_scalar(bytes.substr(at));
        decoded += scalar.value;
        at += scalar.length;
    }
    ASSERT_EQ(decoded, reference.characters);
    if (!valid) {
        EXPECT_EQ(text::decode_scalar(bytes.substr(reference.bad)).length, 1u);
        EXPECT_EQ(text::decode_scalar(bytes.substr(reference.bad)).value, U'\uFFFD');
    }
    const auto ascii = static_cast<std::size_t>(
        std::ranges::find_if(bytes, [](char c) { return static_cast<unsigned char>(c) >= 0x80; }) - bytes.begin());
    for (const utf8::Kernels* kernels : kKernels) {
        SCOPED_TRACE(kernels->name);
        std::string copy(bytes.size(), '\xFF');
        ASSERT_EQ(kernels->copy_ascii(bytes, copy.data()), ascii);
        if (ascii == bytes.size()) {
            EXPECT_EQ(copy, bytes);
        }
        const utf8::Shape shape = kernels->measure(bytes);
        ASSERT_EQ(shape.valid, valid);
        if (!valid) {
            continue;
        }
        ASSERT_EQ(shape.characters, reference.characters.size());
        ASSERT_EQ(shape.width, qf::test::width_of(reference.characters));
        // Each transcoder wide enough for the text.
        if (shape.width <= utf8::Width::Latin1) {
            EXPECT_EQ(transcoded(kernels->to_latin1, bytes, shape.characters), reference.characters);
        }
        if (shape.width <= utf8::Width::Ucs2) {
            EXPECT_EQ(transcoded(kernels->to_ucs2, bytes, shape.characters), reference.characters);
        }
        EXPECT_EQ(transcoded(kernels->to_ucs4, bytes, shape.characters), reference.characters);
    }
}

TEST(Utf8Kernels, RunsEveryImplementationThisCpuHas) {
    // The widest is what the module uses; a CPU without the wide ones is
    // still covered by the portable and SSE2 runs.
    for (const utf8::Kernels* kernels : kKernels) {
        std::printf("[ implementation ] %s\n", kernels->name);
    }
    EXPECT_STREQ(utf8::kernels().name, kKernels.back()->name);
    EXPECT_EQ(utf8::kernels_for(text::widest_isa()), &utf8::kernels());
}

#if defined(__x86_64__) && defined(__GNUC__)
// The wide implementations are chosen with CPUID; GCC's and clang's runtimes
// see the same CPU (zig's, which builds the wheel, does not, hence CPUID).
TEST(Utf8Kernels, ChosenAsTheCompilerRuntimeSeesTheCpu) {
    __builtin_cpu_init();
    const bool avx2 =
        __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("popcnt");
    const bool avx512 = avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi");
    EXPECT_EQ(text::cpu_runs(text::Isa::Avx2), avx2);
    EXPECT_EQ(text::cpu_runs(text::Isa::Avx512), avx512);
    EXPECT_EQ(utf8::kernels_for(text::Isa::Avx512) != nullptr, avx512);
}
#endif

#if defined(__aarch64__) && defined(__ARM_NEON)
// Advanced SIMD is baseline there: chosen without asking, and run by every
// table beside the portable set.
TEST(Utf8Kernels, AdvancedSimdChosenOnAarch64) {
    EXPECT_EQ(text::widest_isa(), text::Isa::Neon);
    EXPECT_STREQ(utf8::kernels().name, "neon");
    EXPECT_EQ(kKernels.size(), 2u);
}
#endif

TEST(Utf8Kernels, EachEdgeCharacterAtEveryOffsetAndLength) {
    // One edge character in ASCII text, at every offset across the 16-, 32-
    // and 64-byte blocks and the read-ahead, in texts whose ends fall on
    // every vector width.
    for (const char32_t edge : kEdgeCharacters) {
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

TEST(Utf8Kernels, RunsOfOneWidthEndingAnywhere) {
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

TEST(Utf8Kernels, RandomTextOfEveryWidth) {
    qf::test::for_random_texts(400, [](const std::string& text) {
        SCOPED_TRACE(testing::Message() << text.size() << " bytes: " << testing::PrintToString(text.substr(0, 40)));
        check(text);
    });
}

TEST(Utf8Kernels, MalformedSequencesAtEveryOffset) {
    // Inside valid text, across block edges, and cut off by the end.
    qf::test::for_malformed_inserts(140, 1, [](const std::string& text, std::size_t end) {
        SCOPED_TRACE(testing::PrintToString(text));
        check(text);
        check(text.substr(0, end));
    });
}

TEST(Utf8Kernels, EveryBytePairAtBlockEdges) {
    // All 65,536 byte pairs, straddling the edges of 16-, 32- and 64-byte
    // blocks: every validator agrees with the reference each time.
    for (const std::size_t at : {15u, 31u, 63u, 64u}) {
        std::string text(at + 40, 'w');
        for (unsigned pair = 0; pair < 0x10000; ++pair) {
            text[at] = static_cast<char>(pair >> 8);
            text[at + 1] = static_cast<char>(pair & 0xFF);
            const std::size_t bad = qf::test::reference_utf8(text).bad;
            if (text::first_invalid(text) != bad) {
                ADD_FAILURE() << "first_invalid: pair " << std::hex << pair << " at " << std::dec << at;
                return;
            }
            for (const utf8::Kernels* kernels : kKernels) {
                if (kernels->measure(text).valid != (bad == std::string_view::npos)) {
                    ADD_FAILURE() << kernels->name << ": pair " << std::hex << pair << " at " << std::dec << at;
                    return;
                }
            }
            if (bad == std::string_view::npos && pair % 97 == 0) {
                check(text);
            }
        }
    }
}

// The masks that test eight or sixteen bytes at once against the one-byte
// tests, each ASCII byte at each position among bytes of both kinds.
TEST(CharacterClasses, FastMasksAgreeWithTheOneByteTests) {
    for (unsigned byte = 0; byte < 0x80; ++byte) {
        for (const char filler : {'a', ' '}) {
            for (std::size_t at = 0; at < 16; ++at) {
                std::string block(16, filler);
                block[at] = static_cast<char>(byte);
                std::uint64_t expected8 = 0;
                [[maybe_unused]] unsigned expected16 = 0;  // compared only where a vector unit is
                for (std::size_t i = 0; i < 16; ++i) {
                    const bool space = text::is_white_space(static_cast<unsigned char>(block[i]));
                    expected8 |= i < 8 && space ? std::uint64_t{0x80} << (8 * i) : 0;
                    expected16 |= space ? 1u << i : 0u;
                }
                ASSERT_EQ(text::white_space_mask_ascii8(text::load8(block.data())), expected8) << byte << " at " << at;
#if defined(QF_BYTES16)
                const auto bytes = text::bytes16::load(block.data());
                ASSERT_EQ(text::bytes16::bits(text::white_space_mask_ascii16(bytes)), expected16);
                // The first White_Space byte as the scans find it, from the mask of four bits a byte on ARM64.
                const auto mask = text::bytes16::mask(text::white_space_mask_ascii16(bytes));
                ASSERT_EQ(text::bytes16::any(mask), expected16 != 0);
                if (expected16 != 0) {
                    ASSERT_EQ(text::bytes16::first(mask), std::countr_zero(expected16)) << byte << " at " << at;
                }
#endif
            }
        }
    }
#if defined(QF_BYTES16)
    // Each byte at each position among bytes that lead nothing.
    for (unsigned byte = 0; byte < 0x100; ++byte) {
        for (std::size_t at = 0; at < 16; ++at) {
            std::string block(16, 'a');
            block[at] = static_cast<char>(byte);
            const unsigned lead = text::may_lead_white_space(byte) ? 1u << at : 0u;
            ASSERT_EQ(text::bytes16::bits(text::white_space_lead_mask16(text::bytes16::load(block.data()))), lead)
                << byte << " at " << at;
        }
    }
#endif
    // Every non-ASCII White_Space character starts with a byte that may lead one.
    for (char32_t c = 0x80; c < 0x110000; ++c) {
        if (text::is_white_space(c)) {
            EXPECT_TRUE(text::may_lead_white_space(static_cast<unsigned char>(to_utf8(c)[0])))
                << std::hex << static_cast<std::uint32_t>(c);
        }
    }
}

// The sets differ on purpose, by exactly these bytes.
TEST(CharacterClasses, TheBlankSetsDifferOnlyWhereMeant) {
    for (unsigned byte = 0; byte < 0x100; ++byte) {
        const char c = static_cast<char>(byte);
        EXPECT_EQ(text::is_blank_line_byte(c), text::is_blank_byte(c) || byte == '\v') << byte;
        EXPECT_EQ(text::is_blank_byte(c), (text::is_white_space(byte) && byte < 0x80 && byte != '\v')) << byte;
        EXPECT_EQ(text::is_json_white_space(static_cast<unsigned char>(byte)), (text::is_blank_byte(c) && byte != '\f'))
            << byte;
    }
    EXPECT_TRUE(text::is_blank_line(" \v\t"));
    EXPECT_FALSE(text::is_blank(" \v\t"));
}

TEST(Ascii, WholeTextTestAgreesByteByByte) {
    for (std::size_t length = 0; length <= 24; ++length) {
        for (std::size_t at = 0; at <= length; ++at) {
            std::string text(length, 'a');
            if (at < length) {
                text[at] = '\x80';
            }
            EXPECT_EQ(text::is_ascii(text), at == length) << length << " " << at;
        }
    }
}

}  // namespace
