// The AArch64 implementation: Advanced SIMD, which every ARMv8-A core has, so
// it is chosen without asking the CPU. ASCII runs go sixteen bytes at a time,
// every other character one at a time (scalar.hpp), as the x86-64 baseline
// does; its own file, so that the x86-64 build is untouched by it.
#include "quillforge/text/transcode.hpp"

#if defined(__aarch64__) && defined(__ARM_NEON)

#include "quillforge/text/bytes16.hpp"
#include "scalar.hpp"

namespace qf::text::utf8::detail {

namespace {

namespace v = text::bytes16;

// The bytes of 0x80 and above, flagged. One horizontal maximum answers
// "any?" faster than narrowing to a mask, which only the first hit needs.
inline bool any_high(v::Bytes bytes) noexcept { return vmaxvq_u8(bytes) >= 0x80; }
inline int first_high(v::Bytes bytes) noexcept { return v::first(v::mask(vcltzq_s8(vreinterpretq_s8_u8(bytes)))); }

std::size_t copy_ascii_neon(std::string_view text, char* out) noexcept {
    const std::uint8_t* const begin = bytes_of(text);
    const std::uint8_t* p = begin;
    const std::uint8_t* const end = p + text.size();
    for (; end - p >= 16; p += 16, out += 16) {
        const v::Bytes bytes = v::load(p);
        if (any_high(bytes)) {
            return static_cast<std::size_t>(p - begin) + static_cast<unsigned>(first_high(bytes));
        }
        vst1q_u8(reinterpret_cast<std::uint8_t*>(out), bytes);
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
    const v::Bytes bytes = v::load(p);
    return any_high(bytes) ? static_cast<unsigned>(first_high(bytes)) : 16;
}

Shape measure_neon(std::string_view text) noexcept {
    const std::uint8_t* p = bytes_of(text);
    return scalar::measure(p, p + text.size(), ascii16_run);
}

// Sixteen ASCII bytes widened into 16 slots.
inline void widen16(std::uint8_t* out, v::Bytes bytes) noexcept { vst1q_u8(out, bytes); }
inline void widen16(std::uint16_t* out, v::Bytes bytes) noexcept {
    vst1q_u16(out, vmovl_u8(vget_low_u8(bytes)));
    vst1q_u16(out + 8, vmovl_high_u8(bytes));
}
inline void widen16(std::uint32_t* out, v::Bytes bytes) noexcept {
    const uint16x8_t low = vmovl_u8(vget_low_u8(bytes));
    const uint16x8_t high = vmovl_high_u8(bytes);
    vst1q_u32(out, vmovl_u16(vget_low_u16(low)));
    vst1q_u32(out + 4, vmovl_high_u16(low));
    vst1q_u32(out + 8, vmovl_u16(vget_low_u16(high)));
    vst1q_u32(out + 12, vmovl_high_u16(high));
}

// ASCII runs sixteen bytes at a time (all sixteen are written, as many as are
// ASCII are kept, so only with sixteen slots left), other characters one at a time.
template <class Out>
void transcode_neon(std::string_view text, Out* out, std::size_t characters) noexcept {
    const std::uint8_t* p = bytes_of(text);
    Out* const out_end = out + characters;
    scalar::transcode(p, p + text.size(), out, [out_end](const std::uint8_t* at, const std::uint8_t* end, Out* to) {
        const std::size_t ascii = out_end - to >= 16 ? ascii16_run(at, end) : 0;
        if (ascii != 0) {
            widen16(to, v::load(at));
        }
        return ascii;
    });
}

const Kernels kNeon = {"neon",
                       copy_ascii_neon,
                       measure_neon,
                       transcode_neon<std::uint8_t>,
                       transcode_neon<std::uint16_t>,
                       transcode_neon<std::uint32_t>};

}  // namespace

const Kernels* arm64_kernels() noexcept { return &kNeon; }

}  // namespace qf::text::utf8::detail

#endif
