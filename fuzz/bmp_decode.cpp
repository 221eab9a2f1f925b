// The BMP decoding path of the module over raw bytes: the two headers as the
// module reads them, the seek to the pixel offset, and the rows converted both
// ways the module does: one at a time into a buffer that grows with them (from
// its end for bottom-up files), as from a stream, and all at once into their
// final places, as from memory. Both must equal each pixel looked up directly
// in the input.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "bmp/rows.hpp"
#include "fuzz/check.hpp"

using namespace vextaro::bmp;

namespace {

uint32_t le32(const uint8_t* p) { return uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0]; }
uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[1] << 8 | p[0]); }

// The module's row buffer: doubles from 64 KiB up to the total the header claims,
// so that only rows actually delivered take memory.
class RowSink {
public:
    RowSink(uint64_t total, bool from_end) : total_(total), from_end_(from_end) {}

    uint8_t* reserve(uint64_t n) {
        const uint64_t need = filled_ + n;
        if (!buffer_ || need > capacity_) grow(need);
        uint8_t* at = from_end_ ? buffer_.get() + capacity_ - need : buffer_.get() + filled_;
        filled_ = need;
        return at;
    }

    const uint8_t* data() const { return buffer_ ? buffer_.get() + (from_end_ ? capacity_ - filled_ : 0) : nullptr; }
    uint64_t filled() const { return filled_; }

private:
    void grow(uint64_t need) {
        const uint64_t wanted = std::min(total_, std::max({need, capacity_ * 2, uint64_t{1} << 16}));
        CHECK(wanted >= need);
        auto bigger = std::make_unique<uint8_t[]>(wanted);
        if (buffer_) {
            const uint64_t keep_from = from_end_ ? capacity_ - filled_ : 0;
            std::memcpy(bigger.get() + (from_end_ ? wanted - filled_ : 0), buffer_.get() + keep_from, filled_);
        }
        buffer_ = std::move(bigger);
        capacity_ = wanted;
    }

    uint64_t total_, capacity_ = 0;
    bool from_end_;
    uint64_t filled_ = 0;
    std::unique_ptr<uint8_t[]> buffer_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 14 || std::memcmp(data, "BM", 2) != 0) return 0;
    const uint32_t pixel_offset = le32(data + 10);
    if (size < 18 || le32(data + 14) != 40) return 0;
    if (size < 54) return 0;  // struct.error: the info header is cut short
    const int32_t width = static_cast<int32_t>(le32(data + 18)), height = static_cast<int32_t>(le32(data + 22));
    if (le16(data + 26) != 1 || le16(data + 28) != 24 || le32(data + 30) != 0) return 0;
    if (width < 0) return 0;

    const uint64_t rows = height < 0 ? uint64_t(-int64_t{height}) : uint64_t(height);
    const uint64_t stride = row_stride(static_cast<uint32_t>(width));
    const uint64_t row_bytes = uint64_t(width) * 3;
    CHECK(stride >= row_bytes && stride - row_bytes < 4 && stride % 4 == 0);
    // Seeking past the end is allowed; reads there return nothing.
    const uint64_t pos = std::min<uint64_t>(pixel_offset, size);
    const bool complete = stride == 0 || (size - pos) / stride >= rows;

    // From a stream: rows one at a time into a buffer that grows with them.
    RowSink sink(row_bytes * rows, height > 0);
    for (uint64_t r = 0; stride > 0 && r < rows; ++r) {
        if (size - pos - r * stride < stride) {
            CHECK(!complete);
            return 0;  // "Incomplete BMP pixel data"
        }
        bgr_to_rgb(data + pos + r * stride, static_cast<size_t>(width), sink.reserve(row_bytes));
    }
    CHECK(complete);
    CHECK(sink.filled() == (stride > 0 ? row_bytes * rows : 0));

    // From memory: every row is there, so the buffer is made once; rows converted in place
    // of a copy too, since the conversion allows it.
    const uint64_t total = stride > 0 ? row_bytes * rows : 0;
    std::vector<uint8_t> direct(total), in_place(data + pos, data + pos + stride * rows);
    for (uint64_t r = 0; stride > 0 && r < rows; ++r) {
        const uint64_t target = height > 0 ? rows - 1 - r : r;
        bgr_to_rgb(data + pos + r * stride, static_cast<size_t>(width), direct.data() + target * row_bytes);
        bgr_to_rgb(in_place.data() + r * stride, static_cast<size_t>(width), in_place.data() + r * stride);
    }

    // Pixel (x, y) with y counted from the top, straight from the input.
    const uint8_t* pixels = sink.data();
    for (uint64_t y = 0; stride > 0 && y < rows; ++y) {
        const uint64_t stored = height > 0 ? rows - 1 - y : y;
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
