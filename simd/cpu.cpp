#include "simd/cpu.hpp"

#include <atomic>

namespace vextaro::simd {

namespace {

constexpr unsigned kKnown = 1, kSsse3 = 2, kSse41 = 4, kAvx2 = 8;

// Threads that ask at once each probe and store the same bits: no lock, no
// guard variable.
std::atomic<unsigned> features{0};

unsigned probe() {
    unsigned found = kKnown;
#if VEXTARO_X86_DISPATCH
    __builtin_cpu_init();
    if (__builtin_cpu_supports("ssse3")) found |= kSsse3;
    if (__builtin_cpu_supports("sse4.1")) found |= kSse41;
    if (__builtin_cpu_supports("avx2")) found |= kAvx2;
#endif
    return found;
}

}  // namespace

Cpu cpu() {
    unsigned known = features.load(std::memory_order_relaxed);
    if (known == 0) {
        known = probe();
        features.store(known, std::memory_order_relaxed);
    }
    return {(known & kSsse3) != 0, (known & kSse41) != 0, (known & kAvx2) != 0};
}

}  // namespace vextaro::simd
