// Large texts are written once, front to back. Asking for huge pages before the
// first write makes the kernel fault them in 2 MB at a time instead of 4 KB,
// which is most of the cost of a fresh buffer. Advice only: nothing changes if
// it is refused.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace qf::text {

inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Advises the whole 2 MB pages inside [data, data + size), if any.
inline void advise_huge_pages(const char* data, std::size_t size) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (size < 2 * kHugePage) {
        return;
    }
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kHugePage - 1) & ~(kHugePage - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(kHugePage - 1);
    if (end > begin) {
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    }
#else
    (void)data;
    (void)size;
#endif
}

}  // namespace qf::text
