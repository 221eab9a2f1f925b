// The shapes of the reconstruction kernels, one function per filter type and
// pixel size, which png/unfilter.cpp picks into a table once per process.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vextaro::png {

// Reconstructs the `n` bytes of `row` (n a multiple of the pixel size) below
// `up`, which holds n bytes too; the kernels that need no row above ignore it.
using RowKernel = void (*)(uint8_t* row, const uint8_t* up, size_t n);

// Reconstructs `count` consecutive rows of `n` bytes each, rows[0] below `up`
// and each of the others below the one before it; filters[k] is row k's filter
// type, Sub, Average or Paeth. `count` is one or two registers' worth of rows.
using GroupKernel = void (*)(uint8_t* const* rows, const uint8_t* filters, size_t count, const uint8_t* up, size_t n);

}  // namespace vextaro::png
