// Which vector code the codecs are built with. VEXTARO_SIMD comes from the
// build's `simd` option (meson.build): 2, the default, uses SSE2 and picks the
// SSSE3, SSE4.1 and AVX2 kernels at run time, or uses NEON on 64-bit ARM; 1
// stops at SSE2, as on a CPU without the others; 0 builds only the portable C++
// that other architectures run.
#pragma once

#ifndef VEXTARO_SIMD
#define VEXTARO_SIMD 2
#endif

#if VEXTARO_SIMD >= 1 && defined(__SSE2__)
#define VEXTARO_SSE2 1
#else
#define VEXTARO_SSE2 0
#endif

// Every 64-bit ARM CPU has NEON, as every x86-64 one has SSE2. The row groups'
// lanes assume little-endian bytes.
#if VEXTARO_SIMD >= 2 && defined(__aarch64__) && defined(__ARM_NEON) && !defined(__ARM_BIG_ENDIAN)
#define VEXTARO_NEON 1
#else
#define VEXTARO_NEON 0
#endif

#if VEXTARO_SIMD >= 2 && (defined(__x86_64__) || defined(__i386__))
#define VEXTARO_X86_DISPATCH 1
#else
#define VEXTARO_X86_DISPATCH 0
#endif
