#include "core/working_buffer.hpp"

#include <algorithm>

#include "png/huge_pages.hpp"

namespace vextaro {

namespace {

struct Kept {
    std::unique_ptr<uint8_t[]> data;
    size_t size = 0;
    bool lent = false;
};

thread_local Kept kept;

std::unique_ptr<uint8_t[]> fresh(size_t size) {
    auto data = std::make_unique_for_overwrite<uint8_t[]>(size);
    png::prefer_huge_pages({data.get(), size});
    return data;
}

}  // namespace

WorkingBuffer::WorkingBuffer(size_t size) : size_(size) {
    if (kept.lent || size > kKeptBytes) {
        own_ = fresh(size);
        data_ = own_.get();
        return;
    }
    if (kept.size < size) {
        // Exactly the first need, so that one open holds no more than it uses;
        // growing by a quarter at least, so that images of about one size soon
        // share the buffer.
        const size_t grown = kept.size == 0 ? size : std::min(kKeptBytes, std::max(size, kept.size + kept.size / 4));
        kept.data.reset();
        kept.size = 0;
        kept.data = fresh(grown);
        kept.size = grown;
    }
    kept.lent = lent_ = true;
    data_ = kept.data.get();
}

WorkingBuffer::~WorkingBuffer() {
    if (lent_) kept.lent = false;
}

}  // namespace vextaro
