// What the CPU offers beyond the build's baseline, asked once per process: the
// codecs choose their kernels from it once, never per row.
#pragma once

#include "simd/level.hpp"

namespace vextaro::simd {

// Whether the build has kernels chosen at run time: where it has none, their
// uses sit in discarded `if constexpr` branches and need no definitions.
inline constexpr bool kX86Dispatch = VEXTARO_X86_DISPATCH;

struct Cpu {
    bool ssse3 = false, sse41 = false, avx2 = false;
};

// All false in a build without run-time dispatch.
Cpu cpu();

}  // namespace vextaro::simd
