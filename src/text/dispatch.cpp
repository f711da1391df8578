#include "quillforge/text/dispatch.hpp"

#include <initializer_list>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#define QF_X86 1
#endif

namespace qf::text {

namespace {

#if defined(QF_X86)
// What the CPU and the OS allow, asked with CPUID and XGETBV directly rather
// than __builtin_cpu_supports: the compiler runtime of zig (which builds the
// manylinux wheel) leaves that one's feature bits at zero.
struct CpuSupport {
    bool avx2 = false;    // with BMI1 and POPCNT, and the OS saving the ymm registers
    bool avx512 = false;  // F, BW, VL and VBMI, and the OS saving the zmm and mask registers
};

CpuSupport cpu_support() noexcept {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid_count(1, 0, &eax, &ebx, &ecx, &edx) == 0) {
        return {};
    }
    const bool popcnt = (ecx >> 23) & 1;
    if (((ecx >> 27) & 1) == 0) {  // no OSXSAVE: no XGETBV, no wide registers
        return {};
    }
    unsigned xcr0 = 0, xcr0_high = 0;
    __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) {
        return {};
    }
    CpuSupport support;
    support.avx2 = (xcr0 & 0x06) == 0x06 && ((ebx >> 5) & 1) && ((ebx >> 3) & 1) && popcnt;
    support.avx512 = support.avx2 && (xcr0 & 0xE6) == 0xE6 && ((ebx >> 16) & 1) && ((ebx >> 30) & 1) &&
                     ((ebx >> 31) & 1) && ((ecx >> 1) & 1);
    return support;
}
#endif

}  // namespace

bool cpu_runs(Isa isa) noexcept {
    switch (isa) {
    case Isa::Portable:
        return true;
#if defined(QF_X86)
    case Isa::Sse2:
        return true;
    case Isa::Avx2: {
        static const CpuSupport support = cpu_support();
        return support.avx2;
    }
    case Isa::Avx512: {
        static const CpuSupport support = cpu_support();
        return support.avx512;
    }
#else
    case Isa::Sse2:
    case Isa::Avx2:
    case Isa::Avx512:
        break;
#endif
#if defined(__aarch64__) && defined(__ARM_NEON)
    case Isa::Neon:
        return true;
#endif
    }
    return false;
}

Isa widest_isa() noexcept {
    static const Isa widest = [] {
#if defined(__aarch64__) && defined(__ARM_NEON)
        return Isa::Neon;
#else
        for (const Isa isa : {Isa::Avx512, Isa::Avx2, Isa::Sse2}) {
            if (cpu_runs(isa)) {
                return isa;
            }
        }
        return Isa::Portable;
#endif
    }();
    return widest;
}

}  // namespace qf::text
