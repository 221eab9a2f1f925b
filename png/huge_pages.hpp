// Large decode buffers are written once from end to end, then walked again by
// the reconstruction: on 2 MiB pages that costs a five-hundredth of the page
// faults and TLB misses. Only the whole huge pages inside the span are asked
// for, so no memory is touched or reserved beyond it; where the kernel offers
// no such pages, or only through this advice, nothing else changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vextaro::png {

inline void prefer_huge_pages(std::span<uint8_t> buffer) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t kHuge = uintptr_t{2} << 20;
    const auto begin = reinterpret_cast<uintptr_t>(buffer.data());
    const uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1), last = (begin + buffer.size()) & ~(kHuge - 1);
    // Advice only: a refusal leaves ordinary pages, which is still correct.
    if (last > first) (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)buffer;
#endif
}

}  // namespace vextaro::png
