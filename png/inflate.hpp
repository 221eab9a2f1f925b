// One-shot inflation of a zlib stream into a buffer of exactly the expected
// size, with the outcome the host's zlib.decompress would reach. Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace vextaro::png {

struct InflateResult {
    enum class Kind {
        Exact,        // the stream is valid and `out` holds all of its output
        OtherLength,  // the stream is valid but inflates to another length
        Invalid,      // zlib refuses the stream; `code` and `message` say why
        Unsure,       // valid, of the right length, but not inflated here: ask the host's zlib
        OutOfMemory,  // the inflater's own memory could not be had
    };
    Kind kind;
    int code = 0;
    const char* message = "";  // zlib's messages are static text
};

// Inflates `in` (zlib format) into `out`. Memory beyond `out` stays within a
// small scratch buffer, however far the stream would inflate.
InflateResult inflate_exact(std::span<const uint8_t> in, std::span<uint8_t> out);

// Runs the stream through zlib with a small scratch buffer, only to learn
// whether zlib accepts it and whether its output has `expected` bytes (Unsure).
InflateResult judge_with_zlib(std::span<const uint8_t> in, uint64_t expected);

// An upper bound of what `compressed` bytes of a deflate stream can inflate to.
constexpr uint64_t max_inflated_size(uint64_t compressed) { return compressed * 1032 + 1024; }

// How image data of `compressed` bytes is inflated when the header implies
// `expected` bytes of scanlines (nothing: no buffer could hold them).
enum class InflatePlan {
    // No stream this short reaches that length: zlib only says whether it
    // accepts the stream (its error), and if it does the data is malformed.
    JudgeOnly,
    // A large claim from little data: zlib must accept the stream at exactly
    // that length before the memory is reserved, so that it earns it.
    JudgeFirst,
    // Reserve the scanline buffer and inflate into it.
    Inflate,
};
InflatePlan plan_inflation(uint64_t compressed, std::optional<uint64_t> expected);

}  // namespace vextaro::png
