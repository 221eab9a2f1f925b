// The filter type a writer gives each row: the one whose filtered bytes, read
// as signed bytes, have the least sum of absolute values (ties go to the lower
// type), the choice mainstream PNG encoders make. Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vextaro::png {

// The choice for `n` bytes of `row` below `above` (null for the top row, below
// zeros), pixels of `bpp` bytes (3 or 4); `scratch` holds n bytes.
uint8_t least_cost_filter(const uint8_t* row, const uint8_t* above, size_t n, int bpp, uint8_t* scratch);

// The choice for the rows of RGB and alpha planes, one row after another, top
// to bottom: each row is interleaved as a writer filters it, beside the row above.
class FilterChooser {
public:
    FilterChooser() = default;
    FilterChooser(const FilterChooser&) = delete;
    FilterChooser& operator=(const FilterChooser&) = delete;
    ~FilterChooser();

    // False when the memory for two rows of `width` pixels cannot be had.
    [[nodiscard]] bool start(size_t width, bool alpha);
    // The choice for the next row: `width` RGB pixels and, with alpha, their alpha.
    uint8_t next(const uint8_t* rgb, const uint8_t* alpha);

private:
    uint8_t* rows_ = nullptr;
    size_t width_ = 0, stride_ = 0;
    bool first_ = true, odd_ = false, alpha_ = false;
};

// The choice for every row of `height` rows of planes `width` pixels wide into
// `filters`; false when memory is short.
bool choose_filters(const uint8_t* rgb, const uint8_t* alpha, size_t width, size_t height, uint8_t* filters);

}  // namespace vextaro::png
