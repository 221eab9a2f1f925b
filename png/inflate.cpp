#include "png/inflate.hpp"

#include <zlib.h>

#include "png/allocation.hpp"
#include "png/inflater.hpp"
#include "png/zlib_input.hpp"

namespace vextaro::png {

InflatePlan plan_inflation(uint64_t compressed, std::optional<uint64_t> expected) {
    constexpr uint64_t kLargeClaim = uint64_t{64} << 20;
    constexpr uint64_t kSuspectRatio = 64;
    if (!expected || *expected > max_inflated_size(compressed)) return InflatePlan::JudgeOnly;
    if (*expected > kLargeClaim && *expected / kSuspectRatio > compressed) return InflatePlan::JudgeFirst;
    return InflatePlan::Inflate;
}

InflateResult judge_with_zlib(std::span<const uint8_t> in, uint64_t expected) {
    z_stream z{};
    const ByteBlock scratch = allocate_bytes(1 << 16);
    if (!scratch || inflateInit(&z) != Z_OK) return {InflateResult::Kind::OutOfMemory};
    uint64_t total = 0;
    int err = Z_OK;
    const uint8_t* next = in.data();
    size_t left = in.size();
    while (err == Z_OK) {
        feed_next_slice(z, next, left);
        z.next_out = scratch.get();
        z.avail_out = 1 << 16;
        err = inflate(&z, left == 0 ? Z_FINISH : Z_NO_FLUSH);
        total += (1 << 16) - z.avail_out;
        // Z_BUF_ERROR with output space left means the input ran out.
        if (err == Z_BUF_ERROR && z.avail_out == 0) err = Z_OK;
    }
    const char* message = z.msg;
    inflateEnd(&z);
    if (err == Z_STREAM_END)
        return {total == expected ? InflateResult::Kind::Unsure : InflateResult::Kind::OtherLength};
    if (err == Z_MEM_ERROR) return {InflateResult::Kind::OutOfMemory};
    if (message == nullptr) {
        message = err == Z_BUF_ERROR    ? "incomplete or truncated stream"
                  : err == Z_DATA_ERROR ? "invalid input data"
                                        : "";
    }
    return {InflateResult::Kind::Invalid, err, message};
}

InflateResult inflate_exact(std::span<const uint8_t> in, std::span<uint8_t> out) {
    const auto within = inflate_within(in, out);
    if (within.status == Inflated::Status::OutOfMemory) return {InflateResult::Kind::OutOfMemory};
    if (within.status == Inflated::Status::Done)
        return {within.produced == out.size() ? InflateResult::Kind::Exact : InflateResult::Kind::OtherLength};
    // The stream is invalid or longer than `out` (and libdeflate's verdict may
    // not be zlib's): zlib decides.
    return judge_with_zlib(in, out.size());
}

}  // namespace vextaro::png
