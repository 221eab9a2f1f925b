#include "png/expand_image.hpp"

#include "png/expand_row.hpp"
#include "png/filter_choice.hpp"
#include "png/unfilter.hpp"
#include "png/unfilter_any.hpp"

namespace vextaro::png {

std::optional<ExpandStop> expand_image(std::span<uint8_t> lines, const Header& h, const ColourChunks& c, uint8_t* rgb,
                                       uint8_t* alpha, uint8_t* filters) {
    const RowExpander expander(h, c);
    const Passes passes = passes_of(h);
    const auto width = static_cast<size_t>(h.width), height = static_cast<size_t>(h.height);
    FilterChooser chooser;
    if (!chooser.start(width, alpha != nullptr)) return ExpandStop{ExpandStop::Kind::NoMemory};
    // Without interlacing every row is complete once expanded, and chosen for while it is in cache.
    const bool whole_rows = passes.count == 1;
    uint8_t* at = lines.data();
    for (int k = 0; k < passes.count; ++k) {
        const Pass& p = passes.pass[k];
        const auto bytes = static_cast<size_t>(p.row_bytes);
        std::span<const uint8_t> above;
        for (size_t r = 0; r < p.height; ++r, at += bytes + 1) {
            const uint8_t filter = at[0];
            if (filter >= kFilterTypes) return ExpandStop{ExpandStop::Kind::BadFilter, filter};
            const std::span<uint8_t> row(at + 1, bytes);
            unfilter_any(filter, row, above, passes.filter_bpp);
            above = row;
            const size_t y = p.y0 + r * p.dy, first = y * width + p.x0;
            if (!expander.expand(row.data(), p.width, rgb + 3 * first, alpha ? alpha + first : nullptr, p.dx))
                return ExpandStop{ExpandStop::Kind::PaletteIndex};
            if (whole_rows) filters[y] = chooser.next(rgb + 3 * y * width, alpha ? alpha + y * width : nullptr);
        }
    }
    for (size_t y = 0; !whole_rows && y < height; ++y)
        filters[y] = chooser.next(rgb + 3 * y * width, alpha ? alpha + y * width : nullptr);
    return std::nullopt;
}

}  // namespace vextaro::png
