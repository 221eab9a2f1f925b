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

// The layouts as the module's struct packs and unpacks them: the file header
// after "BM"; the info header's size field; its other fields, as read; the
// whole info header, as written.
inline constexpr char kFileHeaderFormat[] = "<IHHI";
inline constexpr size_t kFileHeaderFields[] = {4, 2, 2, 4};
inline constexpr char kInfoSizeFormat[] = "<I";
inline constexpr size_t kInfoSizeFields[] = {4};
inline constexpr char kInfoFieldsFormat[] = "<iiHHIIiiII";
inline constexpr char kInfoHeaderFormat[] = "<IIIHHIIIIII";
// Width, height, planes, bits per pixel, compression, image size, x and y pixels
// per metre, colours used, colours important.
inline constexpr size_t kInfoFields[] = {4, 4, 2, 2, 4, 4, 4, 4, 4, 4};
inline constexpr size_t kInfoHeaderFields[] = {4, 4, 4, 2, 2, 4, 4, 4, 4, 4, 4};

// Whether a struct format (its byte-order mark first) has fields of `sizes`.
template <size_t N>
constexpr bool format_has(const char* format, const size_t (&sizes)[N]) {
    size_t n = 0;
    for (const char* c = format + 1; *c != '\0'; ++c, ++n)
        if (n >= N || sizes[n] != (*c == 'H' ? 2u : *c == 'I' || *c == 'i' ? 4u : 0u)) return false;
    return n == N;
}
constexpr size_t total(const auto& sizes) {
    size_t sum = 0;
    for (size_t s : sizes) sum += s;
    return sum;
}
static_assert(format_has(kFileHeaderFormat, kFileHeaderFields) && 2 + total(kFileHeaderFields) == kFileHeaderSize);
static_assert(format_has(kInfoSizeFormat, kInfoSizeFields) && format_has(kInfoFieldsFormat, kInfoFields) &&
              format_has(kInfoHeaderFormat, kInfoHeaderFields));
static_assert(total(kInfoSizeFields) + total(kInfoFields) == kInfoHeaderSize &&
              total(kInfoHeaderFields) == kInfoHeaderSize);
// parse_info's places are those of the table.
static_assert(at::kPixelOffset == 2 + 4 + 2 + 2 && at::kWidth == kFileHeaderSize + 4 && at::kPlanes == at::kWidth + 8 &&
              at::kCompression == at::kPlanes + 4);

constexpr uint32_t little_endian32(const uint8_t* p) {
    return uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
}
constexpr uint16_t little_endian16(const uint8_t* p) { return static_cast<uint16_t>(p[1] << 8 | p[0]); }

struct InfoHeader {
    int64_t width = 0, height = 0, planes = 0, bits_per_pixel = 0, compression = 0;
};

// The info header of a file whose first kHeadersSize bytes are at `file`.
constexpr InfoHeader parse_info(const uint8_t* file) {
    return {static_cast<int32_t>(little_endian32(file + at::kWidth)),
            static_cast<int32_t>(little_endian32(file + at::kHeight)), little_endian16(file + at::kPlanes),
            little_endian16(file + at::kBits), little_endian32(file + at::kCompression)};
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
