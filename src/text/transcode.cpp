// The portable implementation (eight ASCII bytes at a time, the rest one
// character at a time) and the choice of implementation.
#include "quillforge/text/transcode.hpp"

#include "quillforge/text/ascii.hpp"
#include "scalar.hpp"

namespace qf::text::utf8 {

namespace {

std::size_t copy_ascii_portable(std::string_view text, char* out) noexcept {
    const std::uint8_t* const begin = bytes_of(text);
    const std::uint8_t* p = begin;
    const std::uint8_t* const end = p + text.size();
    for (; end - p >= 8 && is_ascii8(p); p += 8, out += 8) {
        std::memcpy(out, p, 8);
    }
    for (; p < end && *p < 0x80; ++p) {
        *out++ = static_cast<char>(*p);
    }
    return static_cast<std::size_t>(p - begin);
}

// Eight bytes at p when they are all ASCII, else none.
std::size_t ascii8_run(const std::uint8_t* p, const std::uint8_t* end) noexcept {
    return end - p >= 8 && is_ascii8(p) ? 8 : 0;
}

Shape measure_portable(std::string_view text) noexcept {
    const std::uint8_t* p = bytes_of(text);
    return scalar::measure(p, p + text.size(), ascii8_run);
}

template <class Out>
void transcode_portable(std::string_view text, Out* out, std::size_t) noexcept {
    const std::uint8_t* p = bytes_of(text);
    scalar::transcode(p, p + text.size(), out, [](const std::uint8_t* at, const std::uint8_t* end, Out* to) {
        if (ascii8_run(at, end) == 0) {
            return std::size_t{0};
        }
        for (int i = 0; i < 8; ++i) {
            to[i] = at[i];
        }
        return std::size_t{8};
    });
}

}  // namespace

namespace detail {

const Kernels kPortable = {
    "portable",
    copy_ascii_portable,
    measure_portable,
    transcode_portable<std::uint8_t>,
    transcode_portable<std::uint16_t>,
    transcode_portable<std::uint32_t>,
};

#if !(defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)))
const Kernels* x86_kernels(Isa) noexcept { return nullptr; }
#endif

}  // namespace detail

const Kernels* kernels_for(Isa isa) noexcept {
    if (!cpu_runs(isa)) {
        return nullptr;
    }
#if defined(__aarch64__) && defined(__ARM_NEON)
    if (isa == Isa::Neon) {
        return detail::arm64_kernels();
    }
#endif
    return isa == Isa::Portable ? &detail::kPortable : detail::x86_kernels(isa);
}

const Kernels& kernels() noexcept {
    static const Kernels* const chosen = kernels_for(widest_isa());
    return *chosen;
}

}  // namespace qf::text::utf8
