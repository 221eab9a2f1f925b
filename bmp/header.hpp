// The BITMAPINFOHEADER fields a decoder acts on, and what it accepts. Plain C++.
#pragma once

#include <cstdint>
#include <optional>

#include "bmp/errors.hpp"

namespace vextaro::bmp {

// The only info header read: BITMAPINFOHEADER, 40 bytes.
inline constexpr int64_t kInfoHeaderSize = 40;

struct InfoHeader {
    int64_t width = 0, height = 0, planes = 0, bits_per_pixel = 0, compression = 0;
};

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
