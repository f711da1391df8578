// The one run-time choice of instruction set. Every vector loop that has wider
// versions than the baseline (SSE2 on x86-64) builds them with per-function
// target attributes and picks one through here, so the build stays baseline
// x86-64 and the CPU is asked once.
#pragma once

#include <cstdint>

namespace qf::text {

enum class Isa : std::uint8_t { Portable, Sse2, Avx2, Avx512 };

// This CPU (and OS) runs code built for `isa`.
bool cpu_runs(Isa isa) noexcept;

// The widest instruction set this CPU runs, asked on the first call.
Isa widest_isa() noexcept;

}  // namespace qf::text
