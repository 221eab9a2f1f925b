// Compiles the functions between VEXTARO_TARGET_BEGIN("isa") and VEXTARO_TARGET_END
// for an instruction set beyond the build's baseline, templates included: code
// shared by the kernels of several sets (png/row_group.hpp) is instantiated
// inside each set's region. Include every other header before the region, or
// its inline functions would be compiled for that set too, and the linker may
// keep that copy for callers on any CPU.
#pragma once

#define VEXTARO_PRAGMA(x) _Pragma(#x)
#if defined(__clang__)
#define VEXTARO_TARGET_BEGIN(isa) \
    VEXTARO_PRAGMA(clang attribute push(__attribute__((target(isa))), apply_to = function))
#define VEXTARO_TARGET_END VEXTARO_PRAGMA(clang attribute pop)
#else
#define VEXTARO_TARGET_BEGIN(isa) VEXTARO_PRAGMA(GCC push_options) VEXTARO_PRAGMA(GCC target(isa))
#define VEXTARO_TARGET_END VEXTARO_PRAGMA(GCC pop_options)
#endif
