// Sixteen bytes at once in a vector register, and the few steps the byte scans
// share: SSE2 on x86-64, Advanced SIMD on AArch64. Both are baseline on their
// architecture, so nothing here is chosen at run time. QF_BYTES16 is defined
// where one of them is; elsewhere the scans keep their word-at-a-time paths.
//
// Comparisons give flags (0xFF where true, else 0). A Mask of flags has
// kMaskBits bits a byte, byte 0 lowest: SSE2 has an instruction for one bit a
// byte; Advanced SIMD narrows to four bits a byte in one step (each 16-bit
// pair of flags shifted right by four, its middle byte kept), which is enough
// to find the first flagged byte. bits() gives one bit a byte on both, for the
// loops that shift and count the mask itself.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#define QF_BYTES16 1
#elif defined(__aarch64__) && defined(__ARM_NEON)
#include <arm_neon.h>
#define QF_BYTES16 1
#endif

#if defined(QF_BYTES16)

namespace qf::text::bytes16 {

#if defined(__SSE2__)

using Bytes = __m128i;
using Mask = std::uint32_t;
inline constexpr int kMaskBits = 1;

inline Bytes load(const void* p) noexcept { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
inline Bytes splat(unsigned char byte) noexcept { return _mm_set1_epi8(static_cast<char>(byte)); }
inline Bytes equal(Bytes a, Bytes b) noexcept { return _mm_cmpeq_epi8(a, b); }
// a <= b as unsigned bytes exactly when min(a, b) == a.
inline Bytes at_most(Bytes a, Bytes b) noexcept { return _mm_cmpeq_epi8(_mm_min_epu8(a, b), a); }
// a > b as signed bytes (0x80 and above are below zero).
inline Bytes greater_signed(Bytes a, Bytes b) noexcept { return _mm_cmpgt_epi8(a, b); }
inline Bytes either(Bytes a, Bytes b) noexcept { return _mm_or_si128(a, b); }
inline Bytes minus(Bytes a, Bytes b) noexcept { return _mm_sub_epi8(a, b); }
inline Mask mask(Bytes flags) noexcept { return static_cast<unsigned>(_mm_movemask_epi8(flags)); }
inline std::uint32_t bits(Bytes flags) noexcept { return mask(flags); }

// The masks of thirty-two bytes as one.
using Mask32 = std::uint32_t;
inline Mask32 join(Mask low, Mask high) noexcept { return low | (high << 16); }

#else

using Bytes = uint8x16_t;
using Mask = std::uint64_t;
inline constexpr int kMaskBits = 4;

inline Bytes load(const void* p) noexcept { return vld1q_u8(static_cast<const std::uint8_t*>(p)); }
inline Bytes splat(unsigned char byte) noexcept { return vdupq_n_u8(byte); }
inline Bytes equal(Bytes a, Bytes b) noexcept { return vceqq_u8(a, b); }
inline Bytes at_most(Bytes a, Bytes b) noexcept { return vcleq_u8(a, b); }
inline Bytes greater_signed(Bytes a, Bytes b) noexcept {
    return vcgtq_s8(vreinterpretq_s8_u8(a), vreinterpretq_s8_u8(b));
}
inline Bytes either(Bytes a, Bytes b) noexcept { return vorrq_u8(a, b); }
inline Bytes minus(Bytes a, Bytes b) noexcept { return vsubq_u8(a, b); }
inline Mask mask(Bytes flags) noexcept {
    return vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(flags), 4)), 0);
}
// Each flag kept as its byte's weight within its half, each half summed.
inline std::uint32_t bits(Bytes flags) noexcept {
    constexpr std::uint8_t kWeights[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
    const uint8x16_t weighted = vandq_u8(flags, vld1q_u8(kWeights));
    return static_cast<std::uint32_t>(vaddv_u8(vget_low_u8(weighted))) |
           (static_cast<std::uint32_t>(vaddv_u8(vget_high_u8(weighted))) << 8);
}

// The masks of thirty-two bytes side by side (128 bits).
struct Mask32 {
    Mask low;
    Mask high;
};
inline Mask32 join(Mask low, Mask high) noexcept { return {low, high}; }
inline bool any(Mask32 mask) noexcept { return (mask.low | mask.high) != 0; }
inline int first(Mask32 mask) noexcept {
    return mask.low != 0 ? std::countr_zero(mask.low) / kMaskBits : 16 + std::countr_zero(mask.high) / kMaskBits;
}

#endif

inline bool any(Mask mask) noexcept { return mask != 0; }
// The first flagged byte; the mask must have one.
inline int first(Mask mask) noexcept {
    if constexpr (kMaskBits == 1) {
        return std::countr_zero(mask);
    } else {
        return std::countr_zero(mask) / kMaskBits;
    }
}

}  // namespace qf::text::bytes16

#endif
