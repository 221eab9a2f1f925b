// Deflate at zlib's default level, in the zlib format: the stream the host's
// zlib.compress(data) makes when it runs on the same zlib library, which uses
// the same parameters (window 15, memory level 8, default strategy). Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

namespace vextaro::png {

struct Deflated {
    std::unique_ptr<uint8_t[]> bytes;
    size_t size = 0;
};

// nullopt when zlib cannot allocate its state or the output buffer.
std::optional<Deflated> deflate_default(std::span<const uint8_t> data);

// The version of the zlib library this code runs on, as the library reports it.
const char* zlib_runtime_version();

}  // namespace vextaro::png
