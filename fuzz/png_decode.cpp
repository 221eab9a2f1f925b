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
