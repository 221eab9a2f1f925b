// The encode pipeline's own decisions: the cut of new image data along a file's
// IDAT sizes, and a file saved again with its chunks kept around new IDATs.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <zlib.h>

#include "png/crc.hpp"
#include "png/encode.hpp"
#include "png/frame.hpp"
#include "png/memory_decode.hpp"
#include "png/memory_encode.hpp"

namespace vextaro::png {
namespace {

using Bytes = std::vector<uint8_t>;
using Parts = std::vector<std::pair<uint64_t, uint64_t>>;

Parts split(uint64_t total, std::vector<uint64_t> sizes) {
    Parts parts;
    auto part = [&](uint64_t at, uint64_t size) { return parts.emplace_back(at, size), true; };
    PlainSizes<decltype(part)> plain{total, sizes, part};
    EXPECT_TRUE(split_along(plain, sizes.size()));
    return parts;
}

TEST(SplitAlong, FollowsTheRecordedSizes) {
    // Each size while the data lasts, the last one taking the rest.
    EXPECT_EQ(split(15, {5, 9, 1}), (Parts{{0, 5}, {5, 9}, {14, 1}}));
    EXPECT_EQ(split(20, {5, 9, 1}), (Parts{{0, 5}, {5, 9}, {14, 6}}));
    EXPECT_EQ(split(7, {5, 9, 1}), (Parts{{0, 5}, {5, 2}}));
    EXPECT_EQ(split(5, {5, 9, 1}), (Parts{{0, 5}}));
    EXPECT_EQ(split(3, {8}), (Parts{{0, 3}}));
}

TEST(SplitAlong, SizesOfZeroMakeNoPart) {
    EXPECT_EQ(split(10, {0, 4, 0}), (Parts{{0, 4}, {4, 6}}));  // the rest after every size
    EXPECT_EQ(split(10, {0, 0}), (Parts{{0, 10}}));
    EXPECT_EQ(split(10, {}), (Parts{{0, 10}}));
    EXPECT_EQ(split(0, {3, 4}), Parts{});
}

void add_chunk(Bytes& file, const char* type, const Bytes& data) {
    const std::span<const uint8_t> t(reinterpret_cast<const uint8_t*>(type), 4);
    const size_t at = file.size();
    file.resize(at + kFrameBytes + data.size());
    write_frame(t, data, chunk_crc(t, data), file.data() + at);
}

std::optional<std::vector<uint8_t>> no_host_zlib(std::span<const uint8_t>) { return std::nullopt; }

// 4x3 RGBA, filters Sub, Paeth, Up, its image data in IDATs of 5, 9 and 1 bytes
// and the rest, between a tEXt and a tIME chunk.
Bytes source_file() {
    const Bytes ihdr = {0, 0, 0, 4, 0, 0, 0, 3, 8, 6, 0, 0, 0};
    Bytes lines;
    for (uint8_t filter : {1, 4, 2}) {
        lines.push_back(filter);
        for (int i = 0; i < 16; ++i) lines.push_back(static_cast<uint8_t>(i * 37 + filter));
    }
    uLongf size = compressBound(lines.size());
    Bytes packed(size);
    EXPECT_EQ(compress2(packed.data(), &size, lines.data(), lines.size(), 9), Z_OK);
    packed.resize(size);
    Bytes file(std::begin(kSignature), std::end(kSignature));
    add_chunk(file, "IHDR", ihdr);
    add_chunk(file, "tEXt", {'k', 0, 'v'});
    for (size_t at = 0; const size_t n : {5, 9, 1, 0}) {
        const size_t take = n ? n : packed.size() - at;
        add_chunk(file, "IDAT", Bytes(packed.begin() + at, packed.begin() + at + take));
        at += take;
    }
    add_chunk(file, "tIME", {7, 0xEA, 1, 2, 3, 4, 5});
    add_chunk(file, "IEND", {});
    return file;
}

TEST(EncodeMemory, KeepsTheChunksAroundNewImageData) {
    const Bytes file = source_file();
    const MemoryDecode source = decode_memory(file, UINT32_MAX, no_host_zlib);
    ASSERT_EQ(source.stop, MemoryDecode::Stop::None);
    for (const std::optional<int> level : {std::optional<int>(), std::optional<int>(0), std::optional<int>(12)}) {
        const MemoryEncode saved = encode_memory(source, level);
        ASSERT_EQ(saved.stop, MemoryEncode::Stop::None);
        const MemoryDecode again = decode_memory(saved.file, UINT32_MAX, no_host_zlib);
        ASSERT_EQ(again.stop, MemoryDecode::Stop::None);
        EXPECT_EQ(again.lines, source.lines);
        EXPECT_EQ(again.alpha, source.alpha);
        EXPECT_EQ(again.filters, (Bytes{1, 4, 2}));
        std::string types;
        std::vector<uint32_t> idats;
        for (const Frame& f : again.chunks) {
            types += std::string(f.type.begin(), f.type.end()) + " ";
            if (std::memcmp(f.type.data(), "IDAT", 4) == 0) idats.push_back(f.length);
        }
        EXPECT_EQ(types, "IHDR tEXt IDAT IDAT IDAT IDAT tIME IEND ");
        ASSERT_EQ(idats.size(), 4u);
        EXPECT_EQ(std::vector<uint32_t>(idats.begin(), idats.begin() + 3), (std::vector<uint32_t>{5, 9, 1}));
        EXPECT_EQ(5 + 9 + 1 + idats[3], saved.compressed.size());
        for (size_t i : {0, 1, 6, 7}) {
            EXPECT_TRUE(std::equal(again.chunks[i].data.begin(), again.chunks[i].data.end(),
                                   source.chunks[i].data.begin(), source.chunks[i].data.end()));
        }
    }
}

}  // namespace
}  // namespace vextaro::png
