// Deflate in the zlib format. At zlib's default level: the stream the host's
// zlib.compress(data) makes when it runs on the same zlib library, which uses
// the same parameters (window 15, memory level 8, default strategy). At a level
// of the caller's: the module's own deflater, libdeflate where the build has it
// (png/deflater_libdeflate.cpp), zlib otherwise (png/deflater_zlib.cpp). Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "png/allocation.hpp"

namespace vextaro::png {

// One compression in two steps, so that its caller can make room for the worst
// case first in the object that will hold the result: no copy of the output,
// and pages the stream never reaches are never touched.
class Deflater {
public:
    virtual ~Deflater() = default;
    // The deleting destructors a virtual destructor brings free as make() allocates.
    static void operator delete(void* block) noexcept { deallocate(block); }
    // The most bytes run() can make of `size` bytes.
    virtual size_t bound(size_t size) = 0;
    // Compresses `data` into `out` (at least bound(data.size()) bytes) and
    // returns the size made; nullopt when the library ran out of memory. Once.
    virtual std::optional<size_t> run(std::span<const uint8_t> data, std::span<uint8_t> out) = 0;
};

inline constexpr int kZlibDefaultLevel = -1;  // zlib's Z_DEFAULT_COMPRESSION
inline constexpr int kMaxLevel = 12;

// zlib at `level` (0-9, or kZlibDefaultLevel); null when its state cannot be allocated.
Owned<Deflater> zlib_deflater(int level);

// At `level` of libdeflate's scale, 0 (stored) to kMaxLevel (smallest); built
// without libdeflate, zlib at that level, 10-12 as 9. Null when the compressor
// (0.2 MB at level 1 up to 9 MB at 10-12) cannot be allocated.
Owned<Deflater> level_deflater(int level);

// The version of the zlib library this code runs on, as the library reports it.
const char* zlib_runtime_version();

}  // namespace vextaro::png
