// Deflate in the zlib format. At zlib's default level: the stream the host's
// zlib.compress(data) makes when it runs on the same zlib library, which uses
// the same parameters (window 15, memory level 8, default strategy). At a level
// of the caller's: the module's own deflater, libdeflate where the build has it
// (png/deflater_libdeflate.cpp), zlib otherwise (png/deflater_zlib.cpp). Plain C++.
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

// zlib at `level` (0-9, or Z_DEFAULT_COMPRESSION); nullopt as above.
std::optional<Deflated> deflate_zlib(std::span<const uint8_t> data, int level);

inline constexpr int kMaxLevel = 12;

// At `level` of libdeflate's scale, 0 (stored) to kMaxLevel (smallest); built
// without libdeflate, zlib at that level, 10-12 as 9. The compressor is made
// for the call and freed after it; nullopt when it or the output cannot be
// allocated.
std::optional<Deflated> deflate_at_level(std::span<const uint8_t> data, int level);

// The version of the zlib library this code runs on, as the library reports it.
const char* zlib_runtime_version();

}  // namespace vextaro::png
