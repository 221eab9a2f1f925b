// The BMP decoding path of the module over raw bytes: the two headers, read here by
// bmp::parse_info where the module unpacks the same fields through its `struct`
// (core/bmp_decoder.cpp), then refused by the same info_refusal; the seek to the
// pixel offset; and the rows converted both ways the module does, with its own
// code: one at a time into its row sink (from its end for bottom-up files), as
// from a stream, and all at once into their final places, as from memory. Both
// must equal each pixel looked up directly in the input, and the rows the writer
// makes of them must read back the same.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "bmp/header.hpp"
#include "bmp/row_sink.hpp"
#include "bmp/rows.hpp"
#include "fuzz/check.hpp"

using namespace vextaro::bmp;

namespace {

// Plain memory as the row sink's storage, where the module uses a bytearray.
class VectorStorage {
public:
    uint64_t size() const { return bytes_.size(); }
    uint8_t* data() { return bytes_.data(); }
    bool grow(uint64_t to, uint64_t keep_from, uint64_t keep, uint64_t keep_to) {
        std::vector<uint8_t> bigger(to);
        if (keep > 0) std::memcpy(bigger.data() + keep_to, bytes_.data() + keep_from, keep);
        bytes_ = std::move(bigger);
        return true;
    }

private:
    std::vector<uint8_t> bytes_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kFileHeaderSize || std::memcmp(data, "BM", 2) != 0) return 0;
    const uint32_t pixel_offset = little_endian32(data + at::kPixelOffset);
    if (size < at::kInfoSize + 4 || little_endian32(data + at::kInfoSize) != kInfoHeaderSize) return 0;
    if (size < kHeadersSize) return 0;  // struct.error: the info header is cut short
    const InfoHeader h = parse_info(data);
    if (info_refusal(h)) return 0;
    const int64_t width = h.width, height = h.height;

    const uint64_t rows = row_count(height);
    const uint64_t stride = row_stride(static_cast<uint32_t>(width));
    const uint64_t row_bytes = uint64_t(width) * 3;
    CHECK(stride >= row_bytes && stride - row_bytes < 4 && stride % 4 == 0);
    // Seeking past the end is allowed; reads there return nothing.
    const uint64_t pos = std::min<uint64_t>(pixel_offset, size);
    const bool complete = stride == 0 || (size - pos) / stride >= rows;

    // From a stream: rows one at a time into a buffer that grows with them.
    VectorStorage storage;
    RowSink sink(storage, row_bytes * rows, bottom_up(height));
    for (uint64_t r = 0; stride > 0 && r < rows; ++r) {
        if (size - pos - r * stride < stride) {
            CHECK(!complete);
            return 0;  // "Incomplete BMP pixel data"
        }
        uint8_t* target = sink.reserve(row_bytes);
        CHECK(target != nullptr);
        bgr_to_rgb(data + pos + r * stride, static_cast<size_t>(width), target);
    }
    CHECK(complete);
    CHECK(sink.filled() == (stride > 0 ? row_bytes * rows : 0));

    // From memory: every row is there, so the buffer is made once; rows converted in place
    // of a copy too, since the conversion allows it.
    const uint64_t total = stride > 0 ? row_bytes * rows : 0;
    std::vector<uint8_t> direct(total), in_place(data + pos, data + pos + stride * rows);
    if (stride > 0) read_rows(data + pos, rows, stride, static_cast<size_t>(width), bottom_up(height), direct.data());
    for (uint64_t r = 0; stride > 0 && r < rows; ++r)
        bgr_to_rgb(in_place.data() + r * stride, static_cast<size_t>(width), in_place.data() + r * stride);

    // Written back as the module's writer does, the pixel array of a bottom-up file comes back.
    if (stride > 0 && rows > 0) {
        std::vector<uint8_t> written(stride * rows, 0xAA);
        const size_t half = static_cast<size_t>(rows / 2);
        write_rows(direct.data(), static_cast<size_t>(width), static_cast<size_t>(rows), 0, half, written.data());
        write_rows(direct.data(), static_cast<size_t>(width), static_cast<size_t>(rows), half, rows - half,
                   written.data() + half * stride);
        std::vector<uint8_t> again(total);
        read_rows(written.data(), rows, stride, static_cast<size_t>(width), true, again.data());
        CHECK(again == direct);
        for (uint64_t r = 0; r < rows; ++r)
            CHECK(std::all_of(written.begin() + r * stride + row_bytes, written.begin() + (r + 1) * stride,
                              [](uint8_t b) { return b == 0; }));
    }

    // Pixel (x, y) with y counted from the top, straight from the input.
    const uint8_t* pixels = storage.data() + (bottom_up(height) ? storage.size() - sink.filled() : 0);
    for (uint64_t y = 0; stride > 0 && y < rows; ++y) {
        const uint64_t stored = bottom_up(height) ? rows - 1 - y : y;
        const uint8_t* in = data + pos + stored * stride;
        for (uint64_t x = 0; x < uint64_t(width); ++x) {
            const uint64_t at = (y * width + x) * 3;
            const uint8_t want[3] = {in[x * 3 + 2], in[x * 3 + 1], in[x * 3]};
            CHECK(std::equal(want, want + 3, pixels + at) && std::equal(want, want + 3, direct.data() + at) &&
                  std::equal(want, want + 3, in_place.data() + stored * stride + x * 3));
        }
    }
    return 0;
}
