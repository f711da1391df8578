// The x86-64 implementations: SSE2 (every x86-64 CPU), AVX2 and AVX-512. Each
// wide function carries its own target attribute, so this file builds for
// baseline x86-64 and the wider instructions run only where the CPU has them
// (asked once, in dispatch.cpp).
//
// measure validates 32 or 64 bytes at a time with three nibble lookups per
// byte pair (each lookup marks the errors that byte could take part in; a
// pair is malformed when all three agree), counts the bytes that start a
// character and keeps the largest byte.
//
// The wide transcoders decode every byte position as if a character started
// there (its four bytes gathered into one 32-bit lane, masked by what the lead
// byte says, folded with two multiply-adds and shifted right by the length),
// then keep the lanes that are character starts (a compress) and store them
// at the output's position. Blocks of ASCII are widened without decoding.
#include "quillforge/text/transcode.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))

// GCC 12's AVX-512 intrinsics pass a deliberately undefined vector as the
// unused source of their unmasked forms, which -Wmaybe-uninitialized reports
// at the intrinsic's own line.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#else
#include <immintrin.h>
#endif

#include <array>
#include <cstring>

#include "scalar.hpp"

#define QF_AVX2 __attribute__((target("avx2,bmi,popcnt")))
#define QF_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx2,bmi,popcnt")))

namespace qf::text::utf8::detail {

namespace {

using text::bytes_of;

// ---------------------------------------------------------------- validation tables
//
// Bits of the nibble lookups: an error shows as a bit set in all three (the
// previous byte's high and low nibble, this byte's high nibble).
constexpr std::uint8_t kTooShort = 1 << 0;      // a lead or ASCII where a continuation must come
constexpr std::uint8_t kTooLong = 1 << 1;       // a continuation after ASCII
constexpr std::uint8_t kOverlong3 = 1 << 2;     // E0 80..9F
constexpr std::uint8_t kTooLarge = 1 << 3;      // F4 90..BF, F5..FF 90..BF
constexpr std::uint8_t kSurrogate = 1 << 4;     // ED A0..BF
constexpr std::uint8_t kOverlong2 = 1 << 5;     // C0, C1
constexpr std::uint8_t kTooLarge1000 = 1 << 6;  // F5..FF 80..8F
constexpr std::uint8_t kOverlong4 = 1 << 6;     // F0 80..8F
constexpr std::uint8_t kTwoConts = 1 << 7;      // a continuation after a continuation (unless a third or fourth byte)
constexpr std::uint8_t kCarry = kTooShort | kTooLong | kTwoConts;

constexpr std::uint8_t kPrevHigh[16] = {
    kTooLong,
    kTooLong,
    kTooLong,
    kTooLong,
    kTooLong,
    kTooLong,
    kTooLong,
    kTooLong,
    kTwoConts,
    kTwoConts,
    kTwoConts,
    kTwoConts,
    kTooShort | kOverlong2,
    kTooShort,
    kTooShort | kOverlong3 | kSurrogate,
    kTooShort | kTooLarge | kTooLarge1000 | kOverlong4,
};
constexpr std::uint8_t kPrevLow[16] = {
    kCarry | kOverlong3 | kOverlong2 | kOverlong4,
    kCarry | kOverlong2,
    kCarry,
    kCarry,
    kCarry | kTooLarge,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000 | kSurrogate,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
};
constexpr std::uint8_t kThisHigh[16] = {
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
};

// Decoding a lane: the lead byte's high nibble gives the mask of its payload
// bits (continuation bytes keep six) and how far the folded value is shifted
// right. Nibbles 8..B are continuations, whose lanes are dropped.
constexpr std::uint32_t kLaneMask[16] = {
    0x3F3F3F7F,
    0x3F3F3F7F,
    0x3F3F3F7F,
    0x3F3F3F7F,
    0x3F3F3F7F,
    0x3F3F3F7F,
    0x3F3F3F7F,
    0x3F3F3F7F,
    0x3F3F3F00,
    0x3F3F3F00,
    0x3F3F3F00,
    0x3F3F3F00,
    0x3F3F3F1F,
    0x3F3F3F1F,
    0x3F3F3F0F,
    0x3F3F3F07,
};
constexpr std::uint32_t kLaneShift[16] = {18, 18, 18, 18, 18, 18, 18, 18, 0, 0, 0, 0, 12, 12, 6, 0};

// After masking, a lane's bytes b0..b3 fold to b0<<18 | b1<<12 | b2<<6 | b3:
// pairs first (b0*64 + b1), then the two pairs (high*4096 + low).
constexpr short kPairWeights = 0x0140;    // bytes 0x40, 0x01
constexpr int kQuadWeights = 0x00011000;  // words 0x1000, 0x0001

// ---------------------------------------------------------------- SSE2

std::size_t copy_ascii_sse2(std::string_view text, char* out) noexcept {
    const std::uint8_t* const begin = bytes_of(text);
    const std::uint8_t* p = begin;
    const std::uint8_t* const end = p + text.size();
    for (; end - p >= 16; p += 16, out += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        if (const int high = _mm_movemask_epi8(bytes); high != 0) {
            return static_cast<std::size_t>(p - begin) +
                   static_cast<unsigned>(__builtin_ctz(static_cast<unsigned>(high)));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
    }
    for (; p < end && *p < 0x80; ++p) {
        *out++ = static_cast<char>(*p);
    }
    return static_cast<std::size_t>(p - begin);
}

// The ASCII bytes at the start of the sixteen at p, or 0 when fewer remain.
inline std::size_t ascii16_run(const std::uint8_t* p, const std::uint8_t* end) noexcept {
    if (end - p < 16) {
        return 0;
    }
    const int high = _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    return high == 0 ? 16 : static_cast<unsigned>(__builtin_ctz(static_cast<unsigned>(high)));
}

Shape measure_sse2(std::string_view text) noexcept {
    const std::uint8_t* p = bytes_of(text);
    return scalar::measure(p, p + text.size(), ascii16_run);
}

// Sixteen ASCII bytes widened into 16 slots.
inline void widen16(std::uint8_t* out, __m128i bytes) noexcept {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
}
inline void widen16(std::uint16_t* out, __m128i bytes) noexcept {
    const __m128i zero = _mm_setzero_si128();
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(bytes, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(bytes, zero));
}
inline void widen16(std::uint32_t* out, __m128i bytes) noexcept {
    const __m128i zero = _mm_setzero_si128();
    const __m128i low = _mm_unpacklo_epi8(bytes, zero);
    const __m128i high = _mm_unpackhi_epi8(bytes, zero);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi16(low, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4), _mm_unpackhi_epi16(low, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpacklo_epi16(high, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12), _mm_unpackhi_epi16(high, zero));
}

// ASCII runs sixteen bytes at a time (all sixteen are written, as many as are
// ASCII are kept), other characters one at a time.
template <class Out>
void transcode_sse2(std::string_view text, Out* out, std::size_t characters) noexcept {
    const std::uint8_t* p = bytes_of(text);
    Out* const out_end = out + characters;
    scalar::transcode(p, p + text.size(), out, [out_end](const std::uint8_t* at, const std::uint8_t* end, Out* to) {
        const std::size_t ascii = out_end - to >= 16 ? ascii16_run(at, end) : 0;
        if (ascii != 0) {
            widen16(to, _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)));
        }
        return ascii;
    });
}

// ---------------------------------------------------------------- AVX2

QF_AVX2 inline __m256i table32(const std::uint8_t (&table)[16]) noexcept {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(table)));
}

// The 32 bytes that end N bytes before the end of input, taking the first N
// from the end of previous.
template <int N>
QF_AVX2 inline __m256i preceding_avx2(__m256i input, __m256i previous) noexcept {
    return _mm256_alignr_epi8(input, _mm256_permute2x128_si256(previous, input, 0x21), 16 - N);
}

struct Avx2Check {
    __m256i previous;
    __m256i error;
    __m256i incomplete;  // the last block ends inside a sequence
    __m256i max_byte;
};

QF_AVX2 inline void check_avx2(Avx2Check& check, __m256i input) noexcept {
    const __m256i low = _mm256_set1_epi8(0x0F);
    const __m256i prev1 = preceding_avx2<1>(input, check.previous);
    const __m256i prev_high =
        _mm256_shuffle_epi8(table32(kPrevHigh), _mm256_and_si256(_mm256_srli_epi16(prev1, 4), low));
    const __m256i prev_low = _mm256_shuffle_epi8(table32(kPrevLow), _mm256_and_si256(prev1, low));
    const __m256i this_high =
        _mm256_shuffle_epi8(table32(kThisHigh), _mm256_and_si256(_mm256_srli_epi16(input, 4), low));
    const __m256i special = _mm256_and_si256(_mm256_and_si256(prev_high, prev_low), this_high);
    // Third and fourth bytes of a sequence are continuations after a
    // continuation: expected there, an error anywhere else.
    const __m256i third =
        _mm256_subs_epu8(preceding_avx2<2>(input, check.previous), _mm256_set1_epi8(char(0xE0 - 0x80)));
    const __m256i fourth =
        _mm256_subs_epu8(preceding_avx2<3>(input, check.previous), _mm256_set1_epi8(char(0xF0 - 0x80)));
    const __m256i expected = _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(char(0x80)));
    check.error = _mm256_or_si256(check.error, _mm256_xor_si256(expected, special));
    // A lead in the last three bytes whose sequence needs more than remains.
    const __m256i last_room = _mm256_setr_epi8(-1,
                                               -1,
                                               -1,
                                               -1,
                                               -1,
                                               -1,
                                               -1,
                                               -1,
                                               -1,
                                               -1,
                                               -1,
                                               -1,
                                               -1,
                                               -1,
                                               -1,
                                               -1,
                                               -1,
                                               -1,
                                               -1,
                                               -1,
                                               -1,
                                               -1,
                                               -1,
                                               -1,
                                               -1,
                                               -1,
                                               -1,
                                               -1,
                                               -1,
                                               char(0xF0 - 1),
                                               char(0xE0 - 1),
                                               char(0xC0 - 1));
    check.incomplete = _mm256_subs_epu8(input, last_room);
    check.previous = input;
}

// Bytes that start a character (all but 80..BF).
QF_AVX2 inline unsigned starts_avx2(__m256i input) noexcept {
    return static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpgt_epi8(input, _mm256_set1_epi8(-65))));
}

QF_AVX2 inline void measure_block_avx2(Avx2Check& check, std::size_t& characters, __m256i a, __m256i b) noexcept {
    check.max_byte = _mm256_max_epu8(check.max_byte, _mm256_max_epu8(a, b));
    if (_mm256_movemask_epi8(_mm256_or_si256(a, b)) == 0) {
        // All ASCII: only a sequence the last block left open can be wrong.
        check.error = _mm256_or_si256(check.error, check.incomplete);
        check.incomplete = _mm256_setzero_si256();
        check.previous = b;
        characters += 64;
        return;
    }
    check_avx2(check, a);
    check_avx2(check, b);
    characters += static_cast<std::size_t>(__builtin_popcountll(starts_avx2(a) | std::uint64_t{starts_avx2(b)} << 32));
}

QF_AVX2 std::size_t copy_ascii_avx2(std::string_view text, char* out) noexcept {
    const std::uint8_t* const begin = bytes_of(text);
    const std::uint8_t* p = begin;
    const std::uint8_t* const end = p + text.size();
    for (; end - p >= 32; p += 32, out += 32) {
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        if (const int high = _mm256_movemask_epi8(bytes); high != 0) {
            return static_cast<std::size_t>(p - begin) +
                   static_cast<unsigned>(__builtin_ctz(static_cast<unsigned>(high)));
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), bytes);
    }
    for (; p < end && *p < 0x80; ++p) {
        *out++ = static_cast<char>(*p);
    }
    return static_cast<std::size_t>(p - begin);
}

QF_AVX2 Shape measure_avx2(std::string_view text) noexcept {
    const std::uint8_t* p = bytes_of(text);
    const std::uint8_t* const end = p + text.size();
    const __m256i zero = _mm256_setzero_si256();
    Avx2Check check{zero, zero, zero, zero};
    std::size_t characters = 0;
    for (; end - p >= 64; p += 64) {
        measure_block_avx2(check,
                           characters,
                           _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)),
                           _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32)));
    }
    if (p < end) {
        // The rest, padded with NULs: a sequence cut short by the end then
        // fails as one followed by ASCII. The padding is not counted.
        alignas(32) std::uint8_t tail[64] = {};
        const auto rest = static_cast<std::size_t>(end - p);
        std::memcpy(tail, p, rest);
        measure_block_avx2(check,
                           characters,
                           _mm256_load_si256(reinterpret_cast<const __m256i*>(tail)),
                           _mm256_load_si256(reinterpret_cast<const __m256i*>(tail + 32)));
        characters -= 64 - rest;
    }
    const __m256i error = _mm256_or_si256(check.error, check.incomplete);
    Shape shape;
    shape.valid = _mm256_testz_si256(error, error) != 0;
    shape.characters = characters;
    alignas(32) std::uint8_t maxima[32];
    _mm256_store_si256(reinterpret_cast<__m256i*>(maxima), check.max_byte);
    std::uint8_t max_byte = 0;
    for (const std::uint8_t m : maxima) {
        max_byte = std::max(max_byte, m);
    }
    shape.width = width_of(max_byte);
    return shape;
}

// Indices of the set bits of each byte value, packed in nibbles: the lanes a
// compress by that mask keeps.
constexpr auto kCompress8 = [] {
    std::array<std::uint32_t, 256> table{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned kept = 0;
        for (unsigned lane = 0; lane < 8; ++lane) {
            if (mask >> lane & 1) {
                table[mask] |= lane << (4 * kept++);
            }
        }
    }
    return table;
}();

// Eight lanes, one per position p[0..7], each the character starting there
// (garbage where none does). Reads p[0..15].
QF_AVX2 inline __m256i decode8_avx2(const std::uint8_t* p) noexcept {
    const __m256i spread = _mm256_setr_epi8(0,
                                            1,
                                            2,
                                            3,
                                            1,
                                            2,
                                            3,
                                            4,
                                            2,
                                            3,
                                            4,
                                            5,
                                            3,
                                            4,
                                            5,
                                            6,  //
                                            4,
                                            5,
                                            6,
                                            7,
                                            5,
                                            6,
                                            7,
                                            8,
                                            6,
                                            7,
                                            8,
                                            9,
                                            7,
                                            8,
                                            9,
                                            10);
    const __m256i source = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    const __m256i lanes = _mm256_shuffle_epi8(source, spread);
    // The lead's high nibble in each lane's first byte, the other bytes zero.
    const __m256i nibble = _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi32(lanes, 4), _mm256_set1_epi32(0x0F)),
                                           _mm256_set1_epi32(static_cast<int>(0x80808000u)));
    alignas(16) static constexpr std::uint8_t kLeadMask[16] = {
        0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0, 0, 0, 0, 0x1F, 0x1F, 0x0F, 0x07};
    alignas(16) static constexpr std::uint8_t kShift[16] = {18, 18, 18, 18, 18, 18, 18, 18, 0, 0, 0, 0, 12, 12, 6, 0};
    const __m256i mask =
        _mm256_or_si256(_mm256_shuffle_epi8(table32(kLeadMask), nibble), _mm256_set1_epi32(0x3F3F3F00));
    const __m256i shift = _mm256_shuffle_epi8(table32(kShift), nibble);
    const __m256i folded =
        _mm256_madd_epi16(_mm256_maddubs_epi16(_mm256_and_si256(lanes, mask), _mm256_set1_epi16(kPairWeights)),
                          _mm256_set1_epi32(kQuadWeights));
    return _mm256_srlv_epi32(folded, shift);
}

// Eight 32-bit characters stored as eight slots.
QF_AVX2 inline void store8(std::uint32_t* out, __m256i chars) noexcept {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), chars);
}
QF_AVX2 inline void store8(std::uint16_t* out, __m256i chars) noexcept {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm_packus_epi32(_mm256_castsi256_si128(chars), _mm256_extracti128_si256(chars, 1)));
}
QF_AVX2 inline void store8(std::uint8_t* out, __m256i chars) noexcept {
    const __m128i words = _mm_packus_epi32(_mm256_castsi256_si128(chars), _mm256_extracti128_si256(chars, 1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(words, words));
}

// Thirty-two ASCII bytes widened into 32 slots.
QF_AVX2 inline void widen32(std::uint8_t* out, const std::uint8_t* p) noexcept { std::memcpy(out, p, 32); }
QF_AVX2 inline void widen32(std::uint16_t* out, const std::uint8_t* p) noexcept {
    for (int i = 0; i < 2; ++i) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 16 * i),
                            _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i))));
    }
}
QF_AVX2 inline void widen32(std::uint32_t* out, const std::uint8_t* p) noexcept {
    for (int i = 0; i < 4; ++i) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8 * i),
                            _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 8 * i))));
    }
}

template <class Out>
QF_AVX2 void transcode_avx2(std::string_view text, Out* out, std::size_t characters) noexcept {
    const std::uint8_t* p = bytes_of(text);
    const std::uint8_t* const end = p + text.size();
    Out* const out_end = out + characters;
    const __m256i lane_offsets = _mm256_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28);
    // A block reads 40 bytes and writes at most 32 slots (each group of eight
    // stores eight slots, the last from at most 24 slots in).
    while (end - p >= 40 && out_end - out >= 32) {
        const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        if (_mm256_movemask_epi8(block) == 0) {
            widen32(out, p);
            p += 32;
            out += 32;
            continue;
        }
        const unsigned starts = starts_avx2(block);
        for (int group = 0; group < 4; ++group) {
            const unsigned keep = starts >> (8 * group) & 0xFF;
            const __m256i order =
                _mm256_srlv_epi32(_mm256_set1_epi32(static_cast<int>(kCompress8[keep])), lane_offsets);
            store8(out, _mm256_permutevar8x32_epi32(decode8_avx2(p + 8 * group), order));
            out += __builtin_popcount(keep);
        }
        p += 32;
    }
    scalar::transcode(p, end, out);
}

// ---------------------------------------------------------------- AVX-512

QF_AVX512 inline __m512i table64(const std::uint8_t (&table)[16]) noexcept {
    return _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(table)));
}

// Byte i of the result is byte i - N of input, or of the end of previous.
template <int N>
QF_AVX512 inline __m512i preceding_avx512(__m512i input, __m512i previous) noexcept {
    alignas(64) static constexpr auto kIndex = [] {
        std::array<std::uint8_t, 64> index{};
        for (int i = 0; i < 64; ++i) {
            index[i] = static_cast<std::uint8_t>((i - N) & 127);
        }
        return index;
    }();
    return _mm512_permutex2var_epi8(input, _mm512_load_si512(kIndex.data()), previous);
}

struct Avx512Check {
    __m512i previous;
    __m512i error;
    __m512i incomplete;
    __m512i max_byte;
};

QF_AVX512 inline void measure_block_avx512(Avx512Check& check, std::size_t& characters, __m512i input) noexcept {
    check.max_byte = _mm512_max_epu8(check.max_byte, input);
    characters += static_cast<std::size_t>(__builtin_popcountll(_mm512_cmpgt_epi8_mask(input, _mm512_set1_epi8(-65))));
    if (_mm512_movepi8_mask(input) == 0) {
        // All ASCII: only a sequence the last block left open can be wrong.
        check.error = _mm512_or_si512(check.error, check.incomplete);
        check.incomplete = _mm512_setzero_si512();
        check.previous = input;
        return;
    }
    const __m512i low = _mm512_set1_epi8(0x0F);
    const __m512i prev1 = preceding_avx512<1>(input, check.previous);
    const __m512i prev_high =
        _mm512_shuffle_epi8(table64(kPrevHigh), _mm512_and_si512(_mm512_srli_epi16(prev1, 4), low));
    const __m512i prev_low = _mm512_shuffle_epi8(table64(kPrevLow), _mm512_and_si512(prev1, low));
    const __m512i this_high =
        _mm512_shuffle_epi8(table64(kThisHigh), _mm512_and_si512(_mm512_srli_epi16(input, 4), low));
    const __m512i special = _mm512_and_si512(_mm512_and_si512(prev_high, prev_low), this_high);
    const __m512i third =
        _mm512_subs_epu8(preceding_avx512<2>(input, check.previous), _mm512_set1_epi8(char(0xE0 - 0x80)));
    const __m512i fourth =
        _mm512_subs_epu8(preceding_avx512<3>(input, check.previous), _mm512_set1_epi8(char(0xF0 - 0x80)));
    const __m512i expected = _mm512_and_si512(_mm512_or_si512(third, fourth), _mm512_set1_epi8(char(0x80)));
    check.error = _mm512_ternarylogic_epi32(check.error, expected, special, 0xF6);  // error | (expected ^ special)
    alignas(64) static constexpr auto kLastRoom = [] {
        std::array<std::uint8_t, 64> room{};
        room.fill(0xFF);
        room[61] = 0xF0 - 1;
        room[62] = 0xE0 - 1;
        room[63] = 0xC0 - 1;
        return room;
    }();
    check.incomplete = _mm512_subs_epu8(input, _mm512_load_si512(kLastRoom.data()));
    check.previous = input;
}

QF_AVX512 std::size_t copy_ascii_avx512(std::string_view text, char* out) noexcept {
    const std::uint8_t* const begin = bytes_of(text);
    const std::uint8_t* p = begin;
    const std::uint8_t* const end = p + text.size();
    for (; end - p >= 64; p += 64, out += 64) {
        const __m512i bytes = _mm512_loadu_si512(p);
        if (const std::uint64_t high = _mm512_movepi8_mask(bytes); high != 0) {
            return static_cast<std::size_t>(p - begin) + static_cast<unsigned>(__builtin_ctzll(high));
        }
        _mm512_storeu_si512(out, bytes);
    }
    for (; p < end && *p < 0x80; ++p) {
        *out++ = static_cast<char>(*p);
    }
    return static_cast<std::size_t>(p - begin);
}

QF_AVX512 Shape measure_avx512(std::string_view text) noexcept {
    const std::uint8_t* p = bytes_of(text);
    const std::uint8_t* const end = p + text.size();
    const __m512i zero = _mm512_setzero_si512();
    Avx512Check check{zero, zero, zero, zero};
    std::size_t characters = 0;
    for (; end - p >= 64; p += 64) {
        measure_block_avx512(check, characters, _mm512_loadu_si512(p));
    }
    if (p < end) {
        alignas(64) std::uint8_t tail[64] = {};
        const auto rest = static_cast<std::size_t>(end - p);
        std::memcpy(tail, p, rest);
        measure_block_avx512(check, characters, _mm512_load_si512(tail));
        characters -= 64 - rest;
    }
    Shape shape;
    shape.valid = _mm512_test_epi8_mask(_mm512_or_si512(check.error, check.incomplete),
                                        _mm512_or_si512(check.error, check.incomplete)) == 0;
    shape.characters = characters;
    alignas(64) std::uint8_t maxima[64];
    _mm512_store_si512(maxima, check.max_byte);
    std::uint8_t max_byte = 0;
    for (const std::uint8_t m : maxima) {
        max_byte = std::max(max_byte, m);
    }
    shape.width = width_of(max_byte);
    return shape;
}

// Sixteen lanes, one per position p[0..15], each the character starting
// there (garbage where none does). Reads p[0..31].
QF_AVX512 inline __m512i decode16_avx512(const std::uint8_t* p) noexcept {
    alignas(64) static constexpr auto kSpread = [] {
        std::array<std::uint8_t, 64> spread{};
        for (int i = 0; i < 64; ++i) {
            spread[i] = static_cast<std::uint8_t>(i / 4 + i % 4);
        }
        return spread;
    }();
    const __m512i source = _mm512_zextsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
    const __m512i lanes = _mm512_permutexvar_epi8(_mm512_load_si512(kSpread.data()), source);
    // The lookups use the low four bits of each 32-bit index: the lead's high nibble.
    const __m512i nibble = _mm512_srli_epi32(lanes, 4);
    const __m512i mask = _mm512_permutexvar_epi32(nibble, _mm512_loadu_si512(kLaneMask));
    const __m512i shift = _mm512_permutexvar_epi32(nibble, _mm512_loadu_si512(kLaneShift));
    const __m512i folded =
        _mm512_madd_epi16(_mm512_maddubs_epi16(_mm512_and_si512(lanes, mask), _mm512_set1_epi16(kPairWeights)),
                          _mm512_set1_epi32(kQuadWeights));
    return _mm512_srlv_epi32(folded, shift);
}

QF_AVX512 inline void store16(std::uint32_t* out, __m512i chars) noexcept { _mm512_storeu_si512(out, chars); }
QF_AVX512 inline void store16(std::uint16_t* out, __m512i chars) noexcept {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm512_cvtepi32_epi16(chars));
}
QF_AVX512 inline void store16(std::uint8_t* out, __m512i chars) noexcept {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm512_cvtepi32_epi8(chars));
}

QF_AVX512 inline void widen64(std::uint8_t* out, const std::uint8_t* p) noexcept { std::memcpy(out, p, 64); }
QF_AVX512 inline void widen64(std::uint16_t* out, const std::uint8_t* p) noexcept {
    for (int i = 0; i < 2; ++i) {
        _mm512_storeu_si512(out + 32 * i,
                            _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * i))));
    }
}
QF_AVX512 inline void widen64(std::uint32_t* out, const std::uint8_t* p) noexcept {
    for (int i = 0; i < 4; ++i) {
        _mm512_storeu_si512(out + 16 * i,
                            _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i))));
    }
}

template <class Out>
QF_AVX512 void transcode_avx512(std::string_view text, Out* out, std::size_t characters) noexcept {
    const std::uint8_t* p = bytes_of(text);
    const std::uint8_t* const end = p + text.size();
    Out* const out_end = out + characters;
    // A block reads 80 bytes and writes at most 64 slots (each group of
    // sixteen stores sixteen slots, the last from at most 48 slots in).
    while (end - p >= 80 && out_end - out >= 64) {
        const __m512i block = _mm512_loadu_si512(p);
        if (_mm512_movepi8_mask(block) == 0) {
            widen64(out, p);
            p += 64;
            out += 64;
            continue;
        }
        const std::uint64_t starts = _mm512_cmpgt_epi8_mask(block, _mm512_set1_epi8(-65));
        for (int group = 0; group < 4; ++group) {
            const auto keep = static_cast<__mmask16>(starts >> (16 * group));
            store16(out, _mm512_maskz_compress_epi32(keep, decode16_avx512(p + 16 * group)));
            out += __builtin_popcount(keep);
        }
        p += 64;
    }
    scalar::transcode(p, end, out);
}

const Kernels kSse2 = {"sse2",
                       copy_ascii_sse2,
                       measure_sse2,
                       transcode_sse2<std::uint8_t>,
                       transcode_sse2<std::uint16_t>,
                       transcode_sse2<std::uint32_t>};
const Kernels kAvx2 = {"avx2",
                       copy_ascii_avx2,
                       measure_avx2,
                       transcode_avx2<std::uint8_t>,
                       transcode_avx2<std::uint16_t>,
                       transcode_avx2<std::uint32_t>};
const Kernels kAvx512 = {"avx512",
                         copy_ascii_avx512,
                         measure_avx512,
                         transcode_avx512<std::uint8_t>,
                         transcode_avx512<std::uint16_t>,
                         transcode_avx512<std::uint32_t>};

}  // namespace

const Kernels* x86_kernels(Isa isa) noexcept {
    switch (isa) {
    case Isa::Sse2:
        return &kSse2;
    case Isa::Avx2:
        return &kAvx2;
    case Isa::Avx512:
        return &kAvx512;
    case Isa::Portable:
        break;
    }
    return nullptr;
}

}  // namespace qf::text::utf8::detail

#endif
