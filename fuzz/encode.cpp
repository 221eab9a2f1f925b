// The scanline encoder against the decoder: an image and a filter type per row
// from the input, encoded, compressed (at zlib's default or at a level of the
// module's own deflater), inflated and reconstructed again, must
// come back unchanged; a type above 4 must stop both at the same row.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/check.hpp"
#include "png/deflate.hpp"
#include "png/filter.hpp"
#include "png/inflate.hpp"
#include "png/unfilter.hpp"

using namespace vextaro::png;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const size_t width = in.ConsumeIntegralInRange<size_t>(0, 70);
    const size_t height = in.ConsumeIntegralInRange<size_t>(0, 40);
    const int bpp = in.ConsumeBool() ? 4 : 3;
    const bool recorded = in.ConsumeBool();
    // A save's deflater: zlib's default (no level given), or the module's own at a level.
    const int level = in.ConsumeIntegralInRange<int>(-1, kMaxLevel);
    std::vector<uint8_t> filters(height);
    for (auto& f : filters) {
        // Mostly the five types, sometimes one the encoder must refuse.
        const uint8_t v = in.ConsumeIntegral<uint8_t>();
        f = v < 250 ? v % kFilterTypes : v;
    }
    // The pixels repeat whatever bytes are left, so every size is reachable from a short input.
    std::vector<uint8_t> rest = in.ConsumeRemainingBytes<uint8_t>();
    if (rest.empty()) rest.push_back(0);
    std::vector<uint8_t> rgb(width * height * 3), alpha(bpp == 4 ? width * height : 0);
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = rest[i % rest.size()];
    for (size_t i = 0; i < alpha.size(); ++i) alpha[i] = static_cast<uint8_t>(rest[(i * 7) % rest.size()] ^ i);

    const size_t stride = width * bpp;
    std::vector<uint8_t> lines(height * (stride + 1));
    // The module's buffers are never null, even when empty.
    rgb.reserve(1), alpha.reserve(1), lines.reserve(1);
    const uint8_t* types = recorded ? filters.data() : nullptr;
    std::vector<uint8_t> rgba_rows(2 * width * 4);
    rgba_rows.reserve(1);
    const auto bad = encode_scanlines(rgb.data(), bpp == 4 ? alpha.data() : nullptr, width, height, bpp, types,
                                      lines.data(), rgba_rows.data());
    size_t first_bad = height;
    for (size_t y = 0; recorded && y < height; ++y) {
        if (filters[y] >= kFilterTypes) {
            first_bad = y;
            break;
        }
    }
    CHECK(bool(bad) == (first_bad < height));
    if (bad) {
        CHECK(bad->row == first_bad && bad->filter == filters[first_bad]);
        return 0;
    }
    // Compressed as the writer ships them, and inflated back as the decoder does.
    const auto deflater = level < 0 ? zlib_deflater(kZlibDefaultLevel) : level_deflater(level);
    CHECK(deflater);
    std::vector<uint8_t> packed(deflater->bound(lines.size()));
    const auto packed_size = deflater->run(lines, packed);
    CHECK(packed_size.has_value());
    std::vector<uint8_t> inflated(lines.size());
    inflated.reserve(1);
    const auto result = inflate_exact({packed.data(), *packed_size}, inflated);
    CHECK(result.kind == InflateResult::Kind::Exact || result.kind == InflateResult::Kind::Unsure);
    CHECK(result.kind != InflateResult::Kind::Exact || inflated == lines);
    std::vector<uint8_t> decoded_filters(height), decoded_alpha(alpha.size());
    decoded_filters.reserve(1), decoded_alpha.reserve(1);
    const auto back = reconstruct_image(lines, width, height, bpp, decoded_filters.data(),
                                        bpp == 4 ? decoded_alpha.data() : nullptr);
    CHECK(!back);
    CHECK(std::equal(rgb.begin(), rgb.end(), lines.begin()));
    CHECK(decoded_alpha == alpha);
    for (size_t y = 0; y < height; ++y) CHECK(decoded_filters[y] == (recorded ? filters[y] : 0));
    return 0;
}
