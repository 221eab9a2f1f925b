#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <vector>

#include "png/deflate.hpp"

namespace vextaro::png {
namespace {

// compress2 at the default level is zlib's own one-shot path: the same stream
// the host's zlib.compress makes, whatever the input's size or content.
TEST(DeflateDefault, MatchesZlibsOneShotCompression) {
    for (const size_t size : {size_t{0}, size_t{1}, size_t{65537}, size_t{3} << 20}) {
        std::vector<uint8_t> data(size);
        uint32_t state = 1;
        for (size_t i = 0; i < size; ++i) {
            state = state * 1103515245u + 12345u;
            data[i] = i % 3 == 0 ? static_cast<uint8_t>(state >> 24) : static_cast<uint8_t>(i / 97);
        }
        uLongf expected_size = compressBound(static_cast<uLong>(size));
        std::vector<uint8_t> expected(expected_size);
        ASSERT_EQ(compress2(expected.data(), &expected_size, data.data(), static_cast<uLong>(size),
                            Z_DEFAULT_COMPRESSION),
                  Z_OK);
        const auto deflater = zlib_deflater(kZlibDefaultLevel);
        ASSERT_TRUE(deflater);
        std::vector<uint8_t> got(deflater->bound(size));
        const auto got_size = deflater->run(data, got);
        ASSERT_TRUE(got_size.has_value());
        got.resize(*got_size);
        ASSERT_EQ(got, std::vector<uint8_t>(expected.begin(), expected.begin() + expected_size)) << "size " << size;
    }
}

}  // namespace
}  // namespace vextaro::png
