// UTF-8 text turned into the fixed-width storage of a str (one, two or four
// bytes a character), in two passes and without Python: `measure` validates
// and finds the length and the width, the caller allocates exactly that, and a
// transcoder of that width fills it. Each pass has a portable version and, on
// x86-64, SSE2, AVX2 and AVX-512 versions chosen at the one dispatch point
// (dispatch.hpp), so the rest of the build stays baseline x86-64; on AArch64,
// an Advanced SIMD version, always chosen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "quillforge/text/dispatch.hpp"

namespace qf::text::utf8 {

// The storage a str needs: the narrowest that holds its largest character.
enum class Width : std::uint8_t { Ascii, Latin1, Ucs2, Ucs4 };

// What the first pass finds. The length and the width mean something only
// when the text is valid.
struct Shape {
    bool valid = true;  // well-formed UTF-8: no overlong form, no surrogate, nothing above U+10FFFF
    std::size_t characters = 0;
    Width width = Width::Ascii;
};

// In valid text the largest byte is the largest lead byte (when there is one),
// and it tells the widest character: C2 and C3 lead U+0080..U+00FF, C4..EF
// lead U+0100..U+FFFF, F0..F4 lead U+10000 and above.
constexpr Width width_of(std::uint8_t max_byte) noexcept {
    return max_byte < 0x80   ? Width::Ascii
           : max_byte < 0xC4 ? Width::Latin1
           : max_byte < 0xF0 ? Width::Ucs2
                             : Width::Ucs4;
}

// One implementation of the passes. `copy_ascii` returns the length of the
// text's leading ASCII run and, when that is the whole text, leaves a copy in
// `out` (which has room for it all): an ASCII text, the common result, is
// checked and stored in one pass. The transcoders take text that `measure` found valid and write exactly
// `characters` slots of `out`, nothing past them.
struct Kernels {
    const char* name;
    std::size_t (*copy_ascii)(std::string_view text, char* out) noexcept;
    Shape (*measure)(std::string_view text) noexcept;
    void (*to_latin1)(std::string_view text, std::uint8_t* out, std::size_t characters) noexcept;
    void (*to_ucs2)(std::string_view text, std::uint16_t* out, std::size_t characters) noexcept;
    void (*to_ucs4)(std::string_view text, std::uint32_t* out, std::size_t characters) noexcept;
};

// The implementation for widest_isa().
const Kernels& kernels() noexcept;

// The implementation for one instruction set, or null when it is not built
// in or this CPU lacks it (tests, fuzz targets and benchmarks compare them all).
const Kernels* kernels_for(Isa isa) noexcept;

namespace detail {
// The portable implementation, the x86-64 ones (null elsewhere) and the
// AArch64 one (declared only there).
extern const Kernels kPortable;
const Kernels* x86_kernels(Isa isa) noexcept;
#if defined(__aarch64__) && defined(__ARM_NEON)
const Kernels* arm64_kernels() noexcept;
#endif
}  // namespace detail

}  // namespace qf::text::utf8
