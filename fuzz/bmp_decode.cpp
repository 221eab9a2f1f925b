// The module's BMP decode pipeline (bmp/decode.hpp) over raw bytes, both ways the
// module reads a file: as bytes, every row converted at once into its final
// place, and as a stream, one row at a time into the row sink (from its end for
// bottom-up files). The two must reach the same verdict and the same pixels, and
// those must equal each pixel looked up directly in the input; the rows the
// writer makes of them must read back the same.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "bmp/memory_decode.hpp"
#include "bmp/rows.hpp"
#include "fuzz/check.hpp"

using namespace vextaro::bmp;

namespace {

// The pixels decoded against the input's own bytes; `pos` is where the rows start.
void check_pixels(const uint8_t* data, uint64_t pos, const Plan& p, const std::vector<uint8_t>& pixels) {
    for (uint64_t y = 0; p.stride > 0 && y < p.rows; ++y) {
        const uint64_t stored = p.bottom_up ? p.rows - 1 - y : y;  // y counted from the top
        const uint8_t* in = data + pos + stored * p.stride;
        for (uint64_t x = 0; x < p.width; ++x) {
            const uint8_t want[3] = {in[x * 3 + 2], in[x * 3 + 1], in[x * 3]};
            CHECK(std::equal(want, want + 3, pixels.data() + (y * p.width + x) * 3));
        }
    }
}

// Written back as the module's writer does, in two blocks, the pixel array of a
// bottom-up file comes back, padded with zeros.
void check_write_back(const Plan& p, const std::vector<uint8_t>& pixels) {
    if (p.stride == 0 || p.rows == 0) return;
    const auto width = static_cast<size_t>(p.width), rows = static_cast<size_t>(p.rows);
    std::vector<uint8_t> written(p.stride * rows, 0xAA);
    const size_t half = rows / 2;
    write_rows(pixels.data(), width, rows, 0, half, written.data());
    write_rows(pixels.data(), width, rows, half, rows - half, written.data() + half * p.stride);
    std::vector<uint8_t> again(pixels.size());
    read_rows(written.data(), rows, p.stride, width, true, again.data());
    CHECK(again == pixels);
    for (size_t r = 0; r < rows; ++r)
        CHECK(std::all_of(written.begin() + r * p.stride + width * 3, written.begin() + (r + 1) * p.stride,
                          [](uint8_t b) { return b == 0; }));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> file(data, size);
    const MemoryDecode bytes = decode_memory(file, false), stream = decode_memory(file, true);
    CHECK(bytes.stop == stream.stop && bytes.refusal == stream.refusal);
    CHECK(bytes.stop != MemoryDecode::Stop::NoRoom);
    const bool incomplete = bytes.stop == MemoryDecode::Stop::Refused && bytes.refusal == Error::Incomplete;
    if (bytes.stop != MemoryDecode::Stop::None && !incomplete) return 0;

    // The plan, from the input's own fields.
    const Plan& p = bytes.plan;
    const auto height = static_cast<int32_t>(little_endian32(data + at::kHeight));
    CHECK(p.width == little_endian32(data + at::kWidth) && p.bottom_up == (height > 0) &&
          p.rows == (height < 0 ? 0 - uint64_t(int64_t{height}) : uint64_t(height)));
    CHECK(p.stride >= p.width * 3 && p.stride - p.width * 3 < 4 && p.stride % 4 == 0);
    // Seeking past the end is allowed; reads there return nothing.
    const uint64_t pos = std::min<uint64_t>(little_endian32(data + at::kPixelOffset), size);
    CHECK(incomplete == (p.stride > 0 && (size - pos) / p.stride < p.rows));
    if (incomplete) return 0;

    CHECK(bytes.pixels.size() == p.width * 3 * (p.stride > 0 ? p.rows : 0) && stream.pixels == bytes.pixels);
    check_pixels(data, pos, p, bytes.pixels);
    check_write_back(p, bytes.pixels);
    return 0;
}
