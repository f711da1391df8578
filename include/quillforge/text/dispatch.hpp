// The one run-time choice of instruction set. Every vector loop that has wider
// versions than the baseline (SSE2 on x86-64) builds them with per-function
// target attributes and picks one through here, so the build stays baseline
// x86-64 and the CPU is asked once.
#pragma once

#include <cstdint>

namespace qf::text {

// Advanced SIMD is baseline on AArch64, so it is named only there.
enum class Isa : std::uint8_t {
    Portable,
    Sse2,
    Avx2,
    Avx512,
#if defined(__aarch64__) && defined(__ARM_NEON)
    Neon,
#endif
};

// This CPU (and OS) runs code built for `isa`.
bool cpu_runs(Isa isa) noexcept;

// The widest instruction set this CPU runs, asked on the first call.
Isa widest_isa() noexcept;

}  // namespace qf::text
