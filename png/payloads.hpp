// The image data of a PNG as the decoder inflates it: the IDAT payloads in
// file order, joined into one contiguous buffer. Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "png/allocation.hpp"

namespace vextaro::png {

using Payloads = std::span<const std::span<const uint8_t>>;

uint64_t total_size(const Payloads& payloads);

// The payloads as one buffer: the one payload itself when there is one, a copy
// of them all otherwise, made in `scratch` when it is large enough (the caller
// lends a buffer it fills only later) and in `storage` when not; nothing when
// that memory cannot be had.
std::optional<std::span<const uint8_t>> join(const Payloads& payloads, ByteBlock& storage,
                                             std::span<uint8_t> scratch = {});

}  // namespace vextaro::png
