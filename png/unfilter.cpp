#include "png/unfilter.hpp"

#include <algorithm>
#include <cstring>

#include "png/allocation.hpp"
#include "png/paeth.hpp"
#include "png/planes.hpp"
#include "png/row_kernels.hpp"
#include "png/unfilter_avx2.hpp"
#include "png/unfilter_neon.hpp"
#include "png/unfilter_sse2.hpp"
#include "png/unfilter_sse41.hpp"
#include "simd/cpu.hpp"

namespace vextaro::png {

namespace {

// The portable kernels. Each loop is written for one bpp known at compile
// time, so that the compiler keeps the left pixel in registers.
void none(uint8_t*, const uint8_t*, size_t) {}

template <int Bpp>
void sub(uint8_t* p, const uint8_t*, size_t n) {
    for (size_t i = Bpp; i < n; ++i) p[i] = static_cast<uint8_t>(p[i] + p[i - Bpp]);
}

void up(uint8_t* p, const uint8_t* above, size_t n) {
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(p[i] + above[i]);
}

template <int Bpp>
void average(uint8_t* p, const uint8_t* above, size_t n) {
    for (size_t i = 0; i < Bpp && i < n; ++i) p[i] = static_cast<uint8_t>(p[i] + (above[i] >> 1));
    for (size_t i = Bpp; i < n; ++i) p[i] = static_cast<uint8_t>(p[i] + ((p[i - Bpp] + above[i]) >> 1));
}

// Average of the top row, whose row above counts as zeros.
template <int Bpp>
void average_top(uint8_t* p, const uint8_t*, size_t n) {
    for (size_t i = Bpp; i < n; ++i) p[i] = static_cast<uint8_t>(p[i] + (p[i - Bpp] >> 1));
}

template <int Bpp>
void paeth(uint8_t* p, const uint8_t* above, size_t n) {
    // With the left byte and the upper-left byte 0, the predictor is the up byte.
    for (size_t i = 0; i < Bpp && i < n; ++i) p[i] = static_cast<uint8_t>(p[i] + above[i]);
    for (size_t i = Bpp; i < n; ++i)
        p[i] = static_cast<uint8_t>(p[i] + paeth_predictor(p[i - Bpp], above[i], above[i - Bpp]));
}

// The kernels of one pixel size, chosen for this CPU once: what an image's
// rows then run is looked up, never decided again.
struct Kernels {
    RowKernel row[kFilterTypes];  // a row below another
    RowKernel top[kFilterTypes];  // the top row, below zeros
    GroupKernel group;            // rows side by side, where the CPU has it
    size_t max_group, per_register;
};

template <int Bpp>
Kernels choose() {
    // Above the top row everything is zero: Up adds nothing, and Paeth then
    // predicts the left byte, as Sub does.
    Kernels k{{none, sub<Bpp>, up, average<Bpp>, paeth<Bpp>},
              {none, sub<Bpp>, none, average_top<Bpp>, sub<Bpp>},
              nullptr,
              1,
              1};
    if constexpr (sse2::kAvailable) {
        k.row[1] = k.top[1] = k.top[4] = sse2::sub<Bpp>;
        k.row[3] = sse2::average<Bpp>;
        k.row[4] = sse2::paeth<Bpp>;
        k.group = sse2::rows<Bpp>;
        k.max_group = sse2::kMaxRowGroup;
        k.per_register = sse2::kRowsPerRegister;
    }
    if constexpr (neon::kAvailable) {
        k.group = neon::rows<Bpp>;
        k.max_group = neon::kMaxRowGroup;
        k.per_register = neon::kRowsPerRegister;
    }
    if constexpr (simd::kX86Dispatch) {
        const simd::Cpu cpu = simd::cpu();
        if (cpu.sse41) {
            k.row[1] = k.top[1] = k.top[4] = sse41::sub<Bpp>;
            k.row[4] = sse41::paeth<Bpp>;
            k.group = sse41::rows<Bpp>;
            k.max_group = sse41::kMaxRowGroup;
            k.per_register = sse41::kRowsPerRegister;
        }
        if (cpu.avx2) {
            k.group = avx2::rows<Bpp>;
            k.max_group = avx2::kMaxRowGroup;
            k.per_register = avx2::kRowsPerRegister;
        }
    }
    return k;
}

const Kernels& kernels(int bpp) {
    static const Kernels three = choose<3>(), four = choose<4>();
    return bpp == 3 ? three : four;
}

constexpr size_t kMaxGroup = std::max(
    {avx2::kMaxRowGroup, sse41::kMaxRowGroup, sse2::kMaxRowGroup, neon::kMaxRowGroup});

// Filters a row group takes: those whose bytes wait on the pixel to their left.
// A group starts at an Average or a Paeth row; Sub rows alone run faster as
// running sums.
bool joins_group(uint8_t filter) { return filter == 1 || filter == 3 || filter == 4; }
bool starts_group(uint8_t filter) { return filter == 3 || filter == 4; }

// A group walks its rows and the row above side by side. Where the rows lie a
// multiple of 4 KiB apart, give or take a few bytes (widths of 1024 RGBA pixels,
// 4096 RGB ones), the bytes they are at share one set of the first-level cache,
// whose eight ways then cannot hold the seventeen rows of a group of sixteen:
// its steps wait on misses, and groups of one register's rows run faster (on
// AVX2, eight rows and the one above, which load a block of pixels at a time,
// still run faster than five). `rows` rows of `line` bytes fit while no set
// would hold more than six of them.
bool rows_fit_cache_sets(size_t line, size_t rows) {
    constexpr size_t kWay = 4096, kLine = 64, kWays = 6;
    size_t per_set[kWay / kLine] = {};
    for (size_t k = 0; k < rows; ++k)
        if (++per_set[k * line % kWay / kLine] > kWays) return false;
    return true;
}

}  // namespace

void unfilter_row(uint8_t filter, std::span<uint8_t> row, std::span<const uint8_t> previous, int bpp) {
    if (filter >= kFilterTypes) return;
    const Kernels& k = kernels(bpp);
    (previous.empty() ? k.top : k.row)[filter](row.data(), previous.data(), row.size());
}

std::optional<BadFilter> reconstruct_image(std::span<uint8_t> scanlines, size_t width, size_t height, int bpp,
                                           uint8_t* filters, uint8_t* alpha) {
    const Kernels& k = kernels(bpp);
    const size_t stride = width * static_cast<size_t>(bpp), line = stride + 1;
    uint8_t* base = scanlines.data();
    auto row_at = [&](size_t y) { return base + y * line + 1; };
    // A row is packed only once the rows below it no longer need it; its packed
    // place ends before the next row begins.
    auto pack_row = [&](size_t y) {
        split_pixels(row_at(y), width, bpp, base + y * width * 3, alpha ? alpha + y * width : nullptr);
    };
    size_t max_group = k.max_group;
    if (max_group > k.per_register && !rows_fit_cache_sets(line, max_group + 1)) max_group = k.per_register;
    // A group that does not fill its registers is made up with this spare row,
    // whose results nothing reads: the rows it stands for cost no more than a
    // group's last row left to the slower kernel for a single row. Without it,
    // rows go one at a time, to the same result. Its length leaves room for the
    // spare rows' stagger (below) and a 4-byte load past the last pixel.
    const size_t spare_size = stride + 4 * kMaxGroup;
    const ByteBlock spare = max_group > 1 && height > 2 ? allocate_bytes(spare_size) : ByteBlock();
    if (spare) std::memset(spare.get(), 0, spare_size);
    if (!spare) max_group = 1;
    for (size_t y = 0; y < height; ++y) {
        const uint8_t filter = base[y * line];
        filters[y] = filter;
        if (filter >= kFilterTypes) return BadFilter{y, filter};
        size_t run = 1;
        if (y > 0 && starts_group(filter))
            while (run < max_group && y + run < height && joins_group(base[(y + run) * line])) ++run;
        if (run >= 2) {
            uint8_t* rows[kMaxGroup];
            uint8_t types[kMaxGroup];
            for (size_t r = 0; r < run; ++r) {
                types[r] = filters[y + r] = base[(y + r) * line];
                rows[r] = row_at(y + r);
            }
            // Spare rows take the last row's type: a group of one type skips
            // the other predictors.
            const size_t count = (run + k.per_register - 1) / k.per_register * k.per_register;
            // Each a pixel further along the spare row than the one before, so
            // that all of them work on the same pixel at each step: a row that
            // loaded what the row before it stored a step earlier would wait on
            // that store.
            for (size_t r = run; r < count; ++r) rows[r] = spare.get() + (r - run) * bpp, types[r] = types[run - 1];
            k.group(rows, types, count, row_at(y - 1), stride);
            for (size_t r = 0; r < run; ++r) pack_row(y + r - 1);
            y += run - 1;
            continue;
        }
        (y > 0 ? k.row : k.top)[filter](row_at(y), y > 0 ? row_at(y - 1) : nullptr, stride);
        if (y > 0) pack_row(y - 1);
    }
    if (height > 0) pack_row(height - 1);
    return std::nullopt;
}

}  // namespace vextaro::png
