// The PNG decoding path of the module over raw bytes, with the module's own
// code: the chunk framing and its CRC check, IHDR/IDAT/IEND as the module
// collects them, the header checks, the join of the image data, the inflation plan
// (zlib's verdict first for claims the data cannot back), the bounded inflation
// and the reconstruction. Two oracles check the kernels:
// zlib must agree with every stream the libdeflate path accepts, and the
// reconstructed planes must equal a byte-by-byte reference.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include <zlib.h>

#include "png/crc.hpp"
#include "png/frame.hpp"
#include "png/header.hpp"
#include "png/inflate.hpp"
#include "png/paeth.hpp"
#include "png/payloads.hpp"
#include "png/unfilter.hpp"
#include "fuzz/check.hpp"

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

void decode_scanlines(std::vector<uint8_t>& lines, const Header& h) {
    const int bpp = channels_of(h);
    const size_t width = size_t(h.width), height = size_t(h.height);
    std::vector<uint8_t> want_rgb, want_alpha;
    const auto want_bad = reference(lines, width, height, bpp, want_rgb, want_alpha);

    std::vector<uint8_t> filters(height), alpha(bpp == 4 ? width * height : 0);
    filters.reserve(1), alpha.reserve(1);  // the module's buffers are never null, even when empty
    const auto bad = reconstruct_image(lines, width, height, bpp, filters.data(), bpp == 4 ? alpha.data() : nullptr);
    CHECK(bool(bad) == bool(want_bad));
    if (bad) {
        CHECK(bad->row == *want_bad && bad->filter > 4);
        return;
    }
    CHECK(std::equal(want_rgb.begin(), want_rgb.end(), lines.begin()));
    CHECK(alpha == want_alpha);
}

// -- mutations that keep a file deep enough to reach inflation and the filters --

struct Chunk {
    uint8_t type[4];
    std::vector<uint8_t> body;
};

// Rewrites the CRC of every complete chunk, so that a mutation is not stopped by the first check.
void fix_crcs(uint8_t* data, size_t size) {
    for (size_t at = sizeof kSignature; at + kFrameBytes <= size;) {
        const uint32_t length = big_endian32(data + at);
        if (length > size - at - kFrameBytes) return;
        put_big_endian32(data + at + 8 + length, chunk_crc({data + at + 4, 4}, {data + at + 8, length}));
        at += kFrameBytes + size_t{length};
    }
}

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
    if (size < sizeof kSignature || std::memcmp(data, kSignature, sizeof kSignature) != 0) return 0;
    size_t at = sizeof kSignature;
    // The module's reader over memory: every field as far as the data reaches.
    auto read = [&](Field, uint64_t n) -> std::optional<std::span<const uint8_t>> {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(n, size - at));
        at += count;
        return std::span<const uint8_t>(data + at - count, count);
    };
    Header h;
    std::vector<std::span<const uint8_t>> idat;
    // Data that ends between chunks ends the loop, as an IEND does.
    for (;;) {
        const auto outcome = read_frame(read);
        if (std::holds_alternative<End>(outcome)) break;
        const auto* frame = std::get_if<Frame>(&outcome);
        CHECK(!std::holds_alternative<ReadFailed>(outcome));
        if (frame == nullptr || !crc_matches(*frame)) return 0;
        const auto type = frame->type.data();
        const auto body = frame->data;
        if (std::memcmp(type, "IHDR", 4) == 0) {
            const auto parsed = parse_ihdr(body);
            if (!parsed) return 0;  // struct.error or OverflowError
            h = *parsed;
        }
        if (std::memcmp(type, "IDAT", 4) == 0) idat.push_back(body);
        if (std::memcmp(type, "IEND", 4) == 0) break;
    }
    if (header_refusal(h)) return 0;
    const auto expected = scanline_bytes(h, uint64_t(PTRDIFF_MAX));
    const auto plan = plan_inflation(total_size(idat), expected);
    // Once the memory is reserved, the module lends its alpha buffer for the join.
    std::vector<uint8_t> scratch(plan == InflatePlan::Inflate && channels_of(h) == 4 ? size_t(h.width) * size_t(h.height) : 0);
    std::unique_ptr<uint8_t[]> storage;
    const auto joined_or_none = join(idat, storage, scratch);
    if (!joined_or_none) return 0;
    const auto joined = *joined_or_none;
    CHECK(joined.size() == total_size(idat));
    if (plan != InflatePlan::Inflate) {
        const auto verdict = judge_with_zlib(joined, plan == InflatePlan::JudgeOnly ? UINT64_MAX : *expected);
        const auto host = zlib_decompress(joined, 0);
        CHECK((verdict.kind == InflateResult::Kind::Invalid) == !host.ok);
        if (!host.ok) return 0;
        // No stream this short can reach the expected length.
        if (plan == InflatePlan::JudgeOnly) {
            CHECK(!expected || host.length != *expected);
            return 0;
        }
        CHECK((verdict.kind == InflateResult::Kind::OtherLength) == (host.length != *expected));
        if (host.length != *expected) return 0;
    }
    std::vector<uint8_t> lines(*expected);
    lines.reserve(1);
    const auto r = inflate_exact(joined, lines);
    const auto host = zlib_decompress(joined, *expected);
    switch (r.kind) {
        case InflateResult::Kind::Exact:
            CHECK(host.ok && host.length == *expected && host.out == lines);
            break;
        case InflateResult::Kind::OtherLength:
            CHECK(host.ok && host.length != *expected);
            return 0;
        case InflateResult::Kind::Invalid:
            CHECK(!host.ok);
            return 0;
        case InflateResult::Kind::Unsure:
            // The module asks the host's zlib here, and takes its bytes.
            CHECK(host.ok && host.length == *expected);
            lines = host.out;
            break;
        case InflateResult::Kind::OutOfMemory:
            return 0;
    }
    decode_scanlines(lines, h);
    return 0;
}
