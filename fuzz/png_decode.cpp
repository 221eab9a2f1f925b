// The module's PNG decode pipeline (png/decode.hpp) over raw bytes: the chunk
// framing and its CRC check, the header checks, the join of the image data, the
// inflation plan (zlib's verdict first for claims the data cannot back), the
// bounded inflation and the reconstruction. Two oracles check it:
// zlib must agree with every stream the libdeflate path accepts, and the
// reconstructed planes must equal a byte-by-byte reference.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include <zlib.h>

#include "fuzz/check.hpp"
#include "fuzz/fix_crcs.hpp"
#include "png/crc.hpp"
#include "png/expanded_format.hpp"
#include "png/frame.hpp"
#include "png/header.hpp"
#include "png/inflate.hpp"
#include "png/memory_decode.hpp"
#include "png/paeth.hpp"
#include "png/payloads.hpp"
#include "png/unfilter.hpp"

using namespace vextaro::png;

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);

namespace {

// What the host's zlib.decompress returns for `in`: the output, or nothing when it raises.
// Output beyond `limit` bytes is not kept; `length` still counts it.
struct ZlibOutcome {
    bool ok = false;
    uint64_t length = 0;
    std::vector<uint8_t> out;
};

ZlibOutcome zlib_decompress(std::span<const uint8_t> in, uint64_t limit) {
    ZlibOutcome r;
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return r;
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    uint8_t scratch[1 << 14];
    int err = Z_OK;
    while (err == Z_OK) {
        z.next_out = scratch;
        z.avail_out = sizeof scratch;
        err = inflate(&z, Z_NO_FLUSH);
        const size_t got = sizeof scratch - z.avail_out;
        for (size_t i = 0; i < got && r.out.size() <= limit; ++i) r.out.push_back(scratch[i]);
        r.length += got;
        if (err == Z_BUF_ERROR && z.avail_out == 0) err = Z_OK;
    }
    inflateEnd(&z);
    r.ok = err == Z_STREAM_END;
    return r;
}

// Reconstruction one byte at a time, straight from the definitions of the five filters.
std::optional<size_t> reference(std::vector<uint8_t> lines, size_t width, size_t height, int bpp,
                                std::vector<uint8_t>& rgb, std::vector<uint8_t>& alpha) {
    const size_t stride = width * bpp;
    std::vector<uint8_t> above(stride, 0);
    for (size_t y = 0; y < height; ++y) {
        uint8_t* line = lines.data() + y * (stride + 1);
        const uint8_t f = line[0];
        if (f > 4) return y;
        uint8_t* row = line + 1;
        for (size_t i = 0; i < stride; ++i) {
            const int a = i >= size_t(bpp) ? row[i - bpp] : 0, b = above[i], c = i >= size_t(bpp) ? above[i - bpp] : 0;
            const int pred = f == 0 ? 0 : f == 1 ? a : f == 2 ? b : f == 3 ? (a + b) / 2 : paeth_predictor(a, b, c);
            row[i] = static_cast<uint8_t>(row[i] + pred);
        }
        for (size_t x = 0; x < width; ++x) {
            rgb.insert(rgb.end(), row + x * bpp, row + x * bpp + 3);
            if (bpp == 4) alpha.push_back(row[x * bpp + 3]);
        }
        std::copy(row, row + stride, above.begin());
    }
    return std::nullopt;
}

// The pipeline's planes against the reference over the scanlines zlib inflated.
void check_planes(const std::vector<uint8_t>& lines, const MemoryDecode& d) {
    const int bpp = channels_of(d.header);
    const size_t width = size_t(d.header.width), height = size_t(d.header.height);
    std::vector<uint8_t> want_rgb, want_alpha;
    const auto want_bad = reference(lines, width, height, bpp, want_rgb, want_alpha);
    CHECK((d.stop == MemoryDecode::Stop::BadFilter) == bool(want_bad));
    if (want_bad) {
        CHECK(d.bad_filter > 4);
        return;
    }
    CHECK(d.lines == want_rgb);
    CHECK(d.alpha == want_alpha);
}

// -- the expanded decode: every other kind, against a reading of the format byte by byte --

// The last PLTE and tRNS before IEND, as the walk keeps them; whether each was there.
struct ColourData {
    std::vector<uint8_t> palette, transparency;
    bool has_palette = false, has_transparency = false;
};

ColourData colour_data(const uint8_t* data, size_t size) {
    ColourData c;
    for (size_t at = sizeof kSignature; at + kFrameBytes <= size;) {
        const uint32_t length = big_endian32(data + at);
        if (length > size - at - kFrameBytes) break;
        const uint8_t* type = data + at + 4;
        const std::vector<uint8_t> body(data + at + 8, data + at + 8 + length);
        if (std::memcmp(type, "PLTE", 4) == 0) c.palette = body, c.has_palette = true;
        if (std::memcmp(type, "tRNS", 4) == 0) c.transparency = body, c.has_transparency = true;
        if (std::memcmp(type, "IEND", 4) == 0) break;
        at += kFrameBytes + size_t{length};
    }
    return c;
}

struct Expected {
    enum class Stop { None, BadFilter, PaletteIndex } stop = Stop::None;
    std::vector<uint8_t> rgb, alpha;
};

// Reconstruction, de-interlacing and scaling of `lines`, one sample at a time.
Expected reference_expand(std::vector<uint8_t> lines, const Header& h, const ColourData& c) {
    static constexpr size_t kStart[7][2] = {{0, 0}, {4, 0}, {0, 4}, {2, 0}, {0, 2}, {1, 0}, {0, 1}};
    static constexpr size_t kStep[7][2] = {{8, 8}, {8, 8}, {4, 8}, {4, 4}, {2, 4}, {2, 2}, {1, 2}};
    const int depth = h.bit_depth, type = h.colour_type;
    const size_t n = type == 2 ? 3 : type == 4 ? 2 : type == 6 ? 4 : 1, bits = n * size_t(depth);
    const size_t bpp = std::max<size_t>(1, bits / 8), width = size_t(h.width), height = size_t(h.height);
    const bool keyed = c.has_transparency && (type == 0 || type == 2 || type == 3);
    Expected e;
    e.rgb.assign(width * height * 3, 0);
    if (keyed || type == 4 || type == 6) e.alpha.assign(width * height, 0);
    auto sample = [&](const uint8_t* row, size_t k) -> unsigned {
        if (depth == 16) return unsigned(row[2 * k]) << 8 | row[2 * k + 1];
        if (depth == 8) return row[k];
        const size_t bit = k * size_t(depth);
        return (row[bit / 8] >> (8 - depth - int(bit % 8))) & ((1u << depth) - 1);
    };
    auto to8 = [&](unsigned v) { return uint8_t(depth == 16 ? v >> 8 : v * 255 / ((1u << depth) - 1)); };
    auto key = [&](size_t k) { return unsigned(c.transparency[2 * k]) << 8 | c.transparency[2 * k + 1]; };
    size_t at = 0;
    for (int pass = 0; pass < (h.interlace == 1 ? 7 : 1); ++pass) {
        const size_t x0 = h.interlace ? kStart[pass][0] : 0, y0 = h.interlace ? kStart[pass][1] : 0;
        const size_t dx = h.interlace ? kStep[pass][0] : 1, dy = h.interlace ? kStep[pass][1] : 1;
        const size_t cols = width > x0 ? (width - x0 + dx - 1) / dx : 0,
                     rows = height > y0 ? (height - y0 + dy - 1) / dy : 0;
        if (h.interlace && cols == 0) continue;
        const size_t size = (cols * bits + 7) / 8;
        std::vector<uint8_t> above(size, 0);
        for (size_t r = 0; r < rows; ++r, at += size + 1) {
            const uint8_t f = lines[at];
            if (f > 4) return e.stop = Expected::Stop::BadFilter, e;
            uint8_t* row = lines.data() + at + 1;
            for (size_t i = 0; i < size; ++i) {
                const int a = i >= bpp ? row[i - bpp] : 0, b = above[i], cc = i >= bpp ? above[i - bpp] : 0;
                row[i] = uint8_t(row[i] + (f == 0   ? 0
                                           : f == 1 ? a
                                           : f == 2 ? b
                                           : f == 3 ? (a + b) / 2
                                                    : paeth_predictor(a, b, cc)));
            }
            std::copy(row, row + size, above.begin());
            for (size_t x = 0; x < cols; ++x) {
                const size_t p = (y0 + r * dy) * width + x0 + x * dx;
                unsigned s[4];
                for (size_t k = 0; k < n; ++k) s[k] = sample(row, x * n + k);
                uint8_t* out = e.rgb.data() + 3 * p;
                if (type == 3) {
                    if (3 * s[0] + 3 > c.palette.size()) return e.stop = Expected::Stop::PaletteIndex, e;
                    std::copy_n(c.palette.data() + 3 * s[0], 3, out);
                    if (keyed) e.alpha[p] = s[0] < c.transparency.size() ? c.transparency[s[0]] : 255;
                    continue;
                }
                for (size_t k = 0; k < 3; ++k) out[k] = to8(s[n >= 3 ? k : 0]);
                if (type == 4 || type == 6) e.alpha[p] = to8(s[n - 1]);
                if (keyed)
                    e.alpha[p] = (type == 0 ? s[0] == key(0) : s[0] == key(0) && s[1] == key(1) && s[2] == key(2))
                                     ? 0
                                     : 255;
            }
        }
    }
    return e;
}

// An expanded decode: its verdict on the image data as zlib's, its planes as the reference's.
void check_expanded(const MemoryDecode& e, const uint8_t* data, size_t size) {
    if (!e.header_accepted) return;
    const auto expected = expanded_scanline_bytes(e.header, uint64_t(PTRDIFF_MAX));
    std::unique_ptr<uint8_t[]> storage;
    const auto joined = join(e.payloads, storage);
    CHECK(joined.has_value());
    const auto host = zlib_decompress(*joined, expected.value_or(0));
    switch (e.stop) {
        case MemoryDecode::Stop::Zlib: CHECK(e.zlib.kind == InflateResult::Kind::OutOfMemory || !host.ok); return;
        case MemoryDecode::Stop::Refused:
            if (e.refusal == Error::PaletteIndex) break;
            CHECK(e.refusal == Error::Malformed && host.ok && (!expected || host.length != *expected));
            return;
        case MemoryDecode::Stop::None:
        case MemoryDecode::Stop::BadFilter: break;
        default: CHECK(false);
    }
    CHECK(host.ok && expected && host.length == *expected && e.expanded);
    const Expected want = reference_expand(host.out, e.header, colour_data(data, size));
    CHECK((e.stop == MemoryDecode::Stop::BadFilter) == (want.stop == Expected::Stop::BadFilter));
    CHECK((e.stop == MemoryDecode::Stop::Refused) == (want.stop == Expected::Stop::PaletteIndex));
    if (want.stop != Expected::Stop::None) return;
    CHECK(e.lines == want.rgb);
    CHECK(e.alpha == want.alpha);
    CHECK(e.filters.size() == size_t(e.header.height));
    for (const uint8_t f : e.filters) CHECK(f < 5);
}

// -- mutations that keep a file deep enough to reach inflation and the filters --

struct Chunk {
    uint8_t type[4];
    std::vector<uint8_t> body;
};

// Inflates the image data, mutates the scanlines themselves (filter bytes, lengths,
// pixels), and puts them back as one freshly compressed IDAT. 0 if the file has no
// image data that inflates.
size_t mutate_scanlines(uint8_t* data, size_t size, size_t max_size, unsigned seed) {
    std::vector<Chunk> chunks;
    for (size_t at = sizeof kSignature; at + kFrameBytes <= size;) {
        const uint32_t length = big_endian32(data + at);
        if (length > size - at - kFrameBytes) break;
        Chunk c;
        std::memcpy(c.type, data + at + 4, 4);
        c.body.assign(data + at + 8, data + at + 8 + length);
        chunks.push_back(std::move(c));
        at += kFrameBytes + size_t{length};
    }
    std::vector<uint8_t> idat;
    for (const auto& c : chunks)
        if (std::memcmp(c.type, "IDAT", 4) == 0) idat.insert(idat.end(), c.body.begin(), c.body.end());
    auto raw = zlib_decompress(idat, 1 << 20);
    if (!raw.ok || raw.length > (1 << 20)) return 0;
    const size_t n = raw.out.size();
    raw.out.resize(n * 2 + 64);
    raw.out.resize(LLVMFuzzerMutate(raw.out.data(), n, raw.out.size()));
    uLongf packed_size = compressBound(raw.out.size());
    std::vector<uint8_t> packed(packed_size);
    if (compress2(packed.data(), &packed_size, raw.out.data(), raw.out.size(), int(seed % 10)) != Z_OK) return 0;
    packed.resize(packed_size);

    std::vector<uint8_t> file(data, data + sizeof kSignature);
    bool placed = false;
    auto append = [&](const char* type, const std::vector<uint8_t>& body) {
        const size_t at = file.size();
        file.resize(at + kFrameBytes + body.size());
        const std::span<const uint8_t> type_bytes(reinterpret_cast<const uint8_t*>(type), 4);
        write_frame(type_bytes, body, chunk_crc(type_bytes, body), file.data() + at);
    };
    for (const auto& c : chunks) {
        if (std::memcmp(c.type, "IDAT", 4) != 0) {
            append(reinterpret_cast<const char*>(c.type), c.body);
        } else if (!placed) {
            append("IDAT", packed);
            placed = true;
        }
    }
    if (file.size() > max_size) return 0;
    std::memcpy(data, file.data(), file.size());
    return file.size();
}

}  // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size, unsigned int seed) {
    // One in four mutates the inflated scanlines; of the rest, most get their CRCs
    // fixed, and one in eight is left as mutated to exercise the CRC check itself.
    if (seed % 4 == 0) {
        const size_t n = mutate_scanlines(data, size, max_size, seed / 4);
        if (n > 0) return n;
    }
    size = LLVMFuzzerMutate(data, size, max_size);
    if (seed % 8 != 1) fix_crcs(data, size);
    return size;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Where the two inflaters disagree, the module asks the host's zlib and takes its bytes.
    auto host_zlib = [](std::span<const uint8_t> in) -> std::optional<std::vector<uint8_t>> {
        auto r = zlib_decompress(in, UINT64_MAX);
        return r.ok ? std::optional(std::move(r.out)) : std::nullopt;
    };
    const MemoryDecode d = decode_memory({data, size}, uint64_t(PTRDIFF_MAX), host_zlib);
    CHECK(d.stop != MemoryDecode::Stop::NoMemory);
    // With expand, a file of the kind read today decodes exactly as without; any other is expanded.
    const MemoryDecode e = decode_memory({data, size}, uint64_t(PTRDIFF_MAX), host_zlib, true);
    CHECK(e.stop != MemoryDecode::Stop::NoMemory);
    if (d.header_accepted) {
        CHECK(!e.expanded && e.stop == d.stop && e.lines == d.lines && e.alpha == d.alpha && e.filters == d.filters);
    } else {
        check_expanded(e, data, size);
    }
    if (!d.header_accepted) return 0;
    // zlib must agree with every verdict on the image data, and the planes with the reference.
    const auto expected = scanline_bytes(d.header, uint64_t(PTRDIFF_MAX));
    vextaro::ByteBlock storage;
    const auto joined = join(d.payloads, storage);
    CHECK(joined.has_value());
    const auto host = zlib_decompress(*joined, expected.value_or(0));
    switch (d.stop) {
        case MemoryDecode::Stop::Zlib: CHECK(d.zlib.kind == InflateResult::Kind::OutOfMemory || !host.ok); return 0;
        case MemoryDecode::Stop::Refused:
            CHECK(d.refusal == Error::Malformed && host.ok && (!expected || host.length != *expected));
            return 0;
        case MemoryDecode::Stop::None:
        case MemoryDecode::Stop::BadFilter: CHECK(host.ok && expected && host.length == *expected); break;
        default: CHECK(false);
    }
    check_planes(host.out, d);
    return 0;
}
