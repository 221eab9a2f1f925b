#include "png/unfilter.hpp"

#include <algorithm>
#include <vector>

#include "png/paeth.hpp"
#include "png/planes.hpp"
#include "png/unfilter_avx2.hpp"
#include "png/unfilter_sse2.hpp"
#include "png/unfilter_sse41.hpp"

namespace vextaro::png {

namespace {

// Each loop is written for one bpp known at compile time, so that the compiler
// keeps the left pixel in registers.
template <int Bpp>
void unfilter_sub(std::span<uint8_t> row) {
    uint8_t* p = row.data();
    for (size_t i = Bpp; i < row.size(); ++i) p[i] = static_cast<uint8_t>(p[i] + p[i - Bpp]);
}

void unfilter_up(std::span<uint8_t> row, const uint8_t* up) {
    uint8_t* p = row.data();
    for (size_t i = 0; i < row.size(); ++i) p[i] = static_cast<uint8_t>(p[i] + up[i]);
}

template <int Bpp>
void unfilter_average(std::span<uint8_t> row, const uint8_t* up) {
    uint8_t* p = row.data();
    const size_t n = row.size();
    if (up == nullptr) {
        for (size_t i = Bpp; i < n; ++i) p[i] = static_cast<uint8_t>(p[i] + (p[i - Bpp] >> 1));
        return;
    }
    for (size_t i = 0; i < Bpp && i < n; ++i) p[i] = static_cast<uint8_t>(p[i] + (up[i] >> 1));
    for (size_t i = Bpp; i < n; ++i) p[i] = static_cast<uint8_t>(p[i] + ((p[i - Bpp] + up[i]) >> 1));
}

template <int Bpp>
void unfilter_paeth(std::span<uint8_t> row, const uint8_t* up) {
    uint8_t* p = row.data();
    const size_t n = row.size();
    // With the left byte and the upper-left byte 0, the predictor is the up byte.
    for (size_t i = 0; i < Bpp && i < n; ++i) p[i] = static_cast<uint8_t>(p[i] + up[i]);
    for (size_t i = Bpp; i < n; ++i)
        p[i] = static_cast<uint8_t>(p[i] + paeth_predictor(p[i - Bpp], up[i], up[i - Bpp]));
}

template <int Bpp>
void unfilter(uint8_t filter, std::span<uint8_t> row, std::span<const uint8_t> previous) {
    const uint8_t* up = previous.empty() ? nullptr : previous.data();
    if constexpr (sse2::kAvailable) {
        const bool has_sse41 = sse41::available();
        switch (filter) {
            case 1:
                if (has_sse41) return sse41::sub(row.data(), row.size(), Bpp);
                return sse2::sub(row.data(), row.size(), Bpp);
            case 3:
                if (up != nullptr) return sse2::average(row.data(), up, row.size(), Bpp);
                break;
            case 4:
                if (up == nullptr) return unfilter<Bpp>(1, row, previous);
                if (has_sse41) return sse41::paeth(row.data(), up, row.size(), Bpp);
                return sse2::paeth(row.data(), up, row.size(), Bpp);
        }
    }
    switch (filter) {
        case 1:
            return unfilter_sub<Bpp>(row);
        case 2:
            if (up != nullptr) unfilter_up(row, up);
            return;
        case 3:
            return unfilter_average<Bpp>(row, up);
        case 4:
            // Above the top row everything is zero, and Paeth then predicts the left byte.
            if (up == nullptr) return unfilter_sub<Bpp>(row);
            return unfilter_paeth<Bpp>(row, up);
        default:
            return;
    }
}

// A group walks its rows and the row above side by side. Where the rows lie a
// multiple of 4 KiB apart, give or take a few bytes (widths of 1024 RGBA pixels,
// 4096 RGB ones), the bytes they are at share one set of the first-level cache,
// whose eight ways then cannot hold the nine rows of a group of eight: its steps
// wait on misses, and groups of four run faster. `rows` rows of `line` bytes fit
// while no set would hold more than six of them.
bool rows_fit_cache_sets(size_t line, size_t rows) {
    constexpr size_t kWay = 4096, kLine = 64, kWays = 6;
    size_t per_set[kWay / kLine] = {};
    for (size_t k = 0; k < rows; ++k)
        if (++per_set[k * line % kWay / kLine] > kWays) return false;
    return true;
}

}  // namespace

void unfilter_row(uint8_t filter, std::span<uint8_t> row, std::span<const uint8_t> previous, int bpp) {
    if (bpp == 3) {
        unfilter<3>(filter, row, previous);
    } else {
        unfilter<4>(filter, row, previous);
    }
}

std::optional<BadFilter> reconstruct_image(std::span<uint8_t> scanlines, size_t width, size_t height, int bpp,
                                           uint8_t* filters, uint8_t* alpha) {
    const size_t stride = width * static_cast<size_t>(bpp);
    uint8_t* base = scanlines.data();
    auto row_at = [&](size_t y) { return std::span<uint8_t>(base + y * (stride + 1) + 1, stride); };
    // A row is packed only once the rows below it no longer need it; its packed
    // place ends before the next row begins.
    auto pack_row = [&](size_t y) {
        split_pixels(row_at(y).data(), width, bpp, base + y * width * 3, alpha ? alpha + y * width : nullptr);
    };
    // Runs of Paeth rows below the top row go through a vector kernel in groups:
    // of up to eight rows, four to a register, with AVX2; of up to four, two to a
    // register, with SSE4.1.
    const bool wide = avx2::available();
    size_t max_group = wide ? avx2::kMaxRowGroup : sse41::available() ? sse41::kMaxRowGroup : 1;
    if (max_group > 4 && !rows_fit_cache_sets(stride + 1, max_group + 1)) max_group = 4;
    const size_t per_register = wide ? 4 : 2;
    // A run that does not fill its registers is made up with this spare row,
    // whose results nothing reads: the rows it stands for cost no more than a
    // run's last row left to the slower kernel for a single row.
    std::vector<uint8_t> spare(max_group > 1 && height > 2 ? stride + 4 : 0);
    for (size_t y = 0; y < height; ++y) {
        const uint8_t filter = base[y * (stride + 1)];
        filters[y] = filter;
        if (filter >= kFilterTypes) return BadFilter{y, filter};
        const std::span<uint8_t> row = row_at(y);
        const std::span<const uint8_t> previous = y > 0 ? row_at(y - 1) : std::span<uint8_t>();
        size_t run = 1;
        if (filter == 4 && y > 0)
            while (run < max_group && y + run < height && base[(y + run) * (stride + 1)] == 4) ++run;
        if (run >= 2) {
            uint8_t* rows[std::max(avx2::kMaxRowGroup, sse41::kMaxRowGroup)];
            for (size_t k = 0; k < run; ++k) {
                filters[y + k] = 4;
                rows[k] = row_at(y + k).data();
            }
            const size_t count = (run + per_register - 1) / per_register * per_register;
            for (size_t k = run; k < count; ++k) rows[k] = spare.data();
            if (wide) {
                avx2::paeth_rows(rows, count, previous.data(), stride, bpp);
            } else {
                sse41::paeth_rows(rows, count, previous.data(), stride, bpp);
            }
            for (size_t k = 0; k < run; ++k) pack_row(y + k - 1);
            y += run - 1;
            continue;
        }
        unfilter_row(filter, row, previous, bpp);
        if (y > 0) pack_row(y - 1);
    }
    if (height > 0) pack_row(height - 1);
    return std::nullopt;
}

}  // namespace vextaro::png
