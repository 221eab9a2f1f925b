#include "core/working_buffer.hpp"

#include <algorithm>

#include "png/huge_pages.hpp"

namespace vextaro {

namespace {

uint8_t* fresh(ByteBlock& into, size_t size) {
    into = allocate_bytes(size);
    if (into) png::prefer_huge_pages({into.get(), size});
    return into.get();
}

}  // namespace

WorkingBuffer::WorkingBuffer(size_t size, KeptBuffer* kept) : size_(size) {
    if (kept == nullptr || kept->lent || size > kKeptBytes) {
        data_ = fresh(own_, size);
        return;
    }
    if (kept->size < size) {
        // Exactly the first need, so that one open holds no more than it uses;
        // growing by a quarter at least, so that images of about one size soon
        // share the buffer.
        const size_t grown = kept->size == 0 ? size : std::min(kKeptBytes, std::max(size, kept->size + kept->size / 4));
        kept->data.reset();
        kept->size = 0;
        if (fresh(kept->data, grown) == nullptr) return;
        kept->size = grown;
    }
    kept->lent = true;
    lent_ = kept;
    data_ = kept->data.get();
}

WorkingBuffer::~WorkingBuffer() {
    if (lent_ == nullptr) return;
    lent_->lent = false;
    if (lent_->orphaned) destroy(lent_);
}

}  // namespace vextaro
