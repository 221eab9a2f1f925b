// A PNG opened and saved again, through the module's own pipelines
// (png/decode.hpp, then png/encode.hpp with its chunk plan), then opened once
// more: the first input byte picks the level (zlib's default, or 0 to 12 of the
// module's own deflater), the rest is the file. Whatever the first decode
// accepts must come back with its other chunks byte for byte and in order
// (IHDR as the header read), its filter types, its pixels, and its new image
// data cut along the IDAT sizes it had.
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include <zlib.h>

#include "fuzz/check.hpp"
#include "fuzz/fix_crcs.hpp"
#include "png/deflate.hpp"
#include "png/memory_decode.hpp"
#include "png/memory_encode.hpp"

using namespace vextaro::png;

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);

namespace {

// The host's zlib.decompress, asked where the two inflaters disagree.
std::optional<std::vector<uint8_t>> host_zlib(std::span<const uint8_t> in) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return std::nullopt;
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    std::vector<uint8_t> out;
    int err = Z_OK;
    while (err == Z_OK) {
        uint8_t scratch[1 << 14];
        z.next_out = scratch;
        z.avail_out = sizeof scratch;
        err = inflate(&z, Z_NO_FLUSH);
        out.insert(out.end(), scratch, scratch + (sizeof scratch - z.avail_out));
        if (err == Z_BUF_ERROR && z.avail_out == 0) err = Z_OK;
    }
    inflateEnd(&z);
    if (err != Z_STREAM_END) return std::nullopt;
    return out;
}

bool is(const Frame& f, const char* type) { return f.type.size() == 4 && std::memcmp(f.type.data(), type, 4) == 0; }

bool same(std::span<const uint8_t> a, std::span<const uint8_t> b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

// The chunks a reader of `saved` meets: the source's up to its end, each IDAT run
// replaced by new ones at the first, IHDRs as the header read; `idats` are the
// sizes of the new IDATs it meets.
void check_chunks(const MemoryDecode& source, const MemoryDecode& saved, std::vector<uint64_t>& idats) {
    const std::vector<uint8_t> ihdr = pack_ihdr(source.header);
    size_t at = 0;
    bool placed = false;
    auto take_image_data = [&] {
        for (; at < saved.chunks.size() && is(saved.chunks[at], "IDAT"); ++at) idats.push_back(saved.chunks[at].length);
    };
    for (const Frame& f : source.chunks) {
        if (is(f, "IDAT")) {
            if (!placed) take_image_data();
            placed = true;
            continue;
        }
        CHECK(at < saved.chunks.size());
        const Frame& g = saved.chunks[at++];
        CHECK(same(g.type, f.type));
        CHECK(same(g.data, is(f, "IHDR") ? std::span<const uint8_t>(ihdr) : f.data));
    }
    // Without IDATs in the source, the new ones follow its last chunk, where a
    // reader meets them only when that was not IEND.
    if (!placed) take_image_data();
    CHECK(at == saved.chunks.size());
}

// Each recorded size while the new data lasts, the last one taking the rest;
// sizes of 0 make no part, and what the sizes leave is one more part.
void check_idat_sizes(const MemoryDecode& source, uint64_t total, const std::vector<uint64_t>& got) {
    std::vector<uint64_t> sizes;  // the recorded ones above 0
    bool last_takes_rest = false;
    for (const Frame& f : source.chunks) {
        if (!is(f, "IDAT")) continue;
        if (f.length > 0) sizes.push_back(f.length);
        last_takes_rest = f.length > 0;
    }
    CHECK(!got.empty());
    uint64_t sum = 0;
    for (const uint64_t n : got) sum += n;
    CHECK(sum == total);
    if (total == 0) {
        CHECK(got.size() == 1);
        return;
    }
    const size_t last = got.size() - 1;
    CHECK(last <= sizes.size());
    for (size_t i = 0; i < last; ++i) CHECK(got[i] == sizes[i]);
    CHECK(got[last] > 0);
    if (last == sizes.size()) {
        CHECK(!last_takes_rest);  // the rest after every size
    } else if (last + 1 < sizes.size() || !last_takes_rest) {
        CHECK(got[last] <= sizes[last]);  // the data ran out within it
    }
}

}  // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size, unsigned int seed) {
    size = LLVMFuzzerMutate(data, size, max_size);
    // Most mutants get their CRCs fixed, so that they reach the encoder.
    if (seed % 8 != 1 && size > 1) fix_crcs(data + 1, size - 1);
    return size;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const int pick = data[0] % (kMaxLevel + 2);
    const std::optional<int> level = pick > kMaxLevel ? std::nullopt : std::optional(pick);
    const MemoryDecode source = decode_memory({data + 1, size - 1}, uint64_t(PTRDIFF_MAX), host_zlib);
    if (source.stop != MemoryDecode::Stop::None) return 0;
    const MemoryEncode saved = encode_memory(source, level);
    CHECK(saved.stop == MemoryEncode::Stop::None);
    const MemoryDecode again = decode_memory(saved.file, uint64_t(PTRDIFF_MAX), host_zlib);
    CHECK(again.stop == MemoryDecode::Stop::None);
    CHECK(again.lines == source.lines);
    CHECK(again.alpha == source.alpha);
    CHECK(again.filters == source.filters);
    std::vector<uint64_t> idats;
    check_chunks(source, again, idats);
    if (!idats.empty()) check_idat_sizes(source, saved.compressed.size(), idats);
    return 0;
}
