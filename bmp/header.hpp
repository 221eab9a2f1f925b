// The byte layout of a 24-bit BMP file and the BITMAPINFOHEADER fields a
// decoder acts on, with what it accepts. Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "bmp/errors.hpp"

namespace vextaro::bmp {

// The 14-byte file header ("BM", file size, two reserved fields, pixel offset),
// then the only info header read, BITMAPINFOHEADER, 40 bytes; all fields
// little-endian. The files written here have their pixels right after both.
inline constexpr size_t kFileHeaderSize = 14;
inline constexpr int64_t kInfoHeaderSize = 40;
inline constexpr size_t kHeadersSize = kFileHeaderSize + kInfoHeaderSize;
inline constexpr int kBitsPerPixel = 24;

// Where the fields are, from the start of the file.
namespace at {
inline constexpr size_t kPixelOffset = 10, kInfoSize = 14, kWidth = 18, kHeight = 22, kPlanes = 26, kBits = 28,
                        kCompression = 30;
}  // namespace at

constexpr uint32_t little_endian32(const uint8_t* p) {
    return uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
}
constexpr uint16_t little_endian16(const uint8_t* p) { return static_cast<uint16_t>(p[1] << 8 | p[0]); }

struct InfoHeader {
    int64_t width = 0, height = 0, planes = 0, bits_per_pixel = 0, compression = 0;
};

// The info header of a file whose first kHeadersSize bytes are at `file`.
constexpr InfoHeader parse_info(const uint8_t* file) {
    return {static_cast<int32_t>(little_endian32(file + at::kWidth)), static_cast<int32_t>(little_endian32(file + at::kHeight)),
            little_endian16(file + at::kPlanes), little_endian16(file + at::kBits), little_endian32(file + at::kCompression)};
}

// The first check the header fails, or nothing when it is one we decode.
constexpr std::optional<Error> info_refusal(const InfoHeader& h) {
    if (h.planes != 1 || h.bits_per_pixel != 24 || h.compression != 0) return Error::PixelFormat;
    if (h.width < 0 || h.width > INT32_MAX) return Error::Width;
    return std::nullopt;
}

// Rows stored: the height's magnitude (its sign says bottom-up or top-down), in
// unsigned arithmetic, so that even a height of -2**63 has one.
constexpr uint64_t row_count(int64_t height) {
    return height < 0 ? 0 - static_cast<uint64_t>(height) : static_cast<uint64_t>(height);
}

// Whether the first stored row is the image's bottom one.
constexpr bool bottom_up(int64_t height) { return height > 0; }

}  // namespace vextaro::bmp
