#include "png/deflate.hpp"

#include <zlib.h>

#include "png/zlib_input.hpp"

namespace vextaro::png {

namespace {

class ZlibDeflater final : public Deflater {
public:
    ~ZlibDeflater() override { deflateEnd(&z_); }
    bool init(int level) { return deflateInit2(&z_, level, Z_DEFLATED, MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK; }

    size_t bound(size_t size) override { return deflateBound(&z_, static_cast<uLong>(size)); }

    std::optional<size_t> run(std::span<const uint8_t> data, std::span<uint8_t> out) override {
        const uint8_t* next = data.data();
        size_t left = data.size();
        z_.next_out = out.data();
        int err = Z_OK;
        while (err == Z_OK) {
            feed_next_slice(z_, next, left);
            const size_t room = out.size() - static_cast<size_t>(z_.next_out - out.data());
            z_.avail_out = static_cast<uInt>(room < (1u << 30) ? room : (1u << 30));  // 32 bits wide too
            // Finishing with the last slice, as zlib.compress does.
            err = deflate(&z_, left == 0 ? Z_FINISH : Z_NO_FLUSH);
        }
        if (err != Z_STREAM_END) return std::nullopt;
        return static_cast<size_t>(z_.next_out - out.data());
    }

private:
    z_stream z_{};
};

}  // namespace

Owned<Deflater> zlib_deflater(int level) {
    Owned<ZlibDeflater> d = make<ZlibDeflater>();
    // deflateEnd on a stream that init left unset is harmless: it refuses it.
    if (!d || !d->init(level)) return nullptr;
    return d;
}

const char* zlib_runtime_version() { return zlibVersion(); }

}  // namespace vextaro::png
