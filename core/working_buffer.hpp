// Memory an open or a save needs only while it runs (the joined image data of
// an RGB image, the filtered scanlines), kept by each thread from one call to the next. Fresh pages cost more
// than the bytes copied into them (about 0.5 ms a megabyte where the benchmark
// runs), and PyPy frees large buffers only when it collects: a loop of calls
// would fault in this memory anew every time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "png/allocation.hpp"

namespace vextaro {

// The buffer a thread keeps between opens (core/kept.hpp finds the thread's).
struct KeptBuffer {
    ByteBlock data;
    size_t size = 0;
    bool lent = false;
    // Let go of by its owner while lent: the borrower frees it.
    bool orphaned = false;
};

class WorkingBuffer {
public:
    // A thread keeps at most this much between opens; the memory of a larger
    // need is returned as soon as it is done with. A process with N threads that
    // have opened images holds at most N times this.
    static constexpr size_t kKeptBytes = size_t{16} << 20;

    // `size` bytes, their contents unspecified: `kept`, grown if need be, unless
    // there is none, it is already lent out (an open started by code the first
    // one ran) or `size` is over the limit. Empty, with `size` nonzero, when the
    // memory cannot be had.
    WorkingBuffer(size_t size, KeptBuffer* kept);
    ~WorkingBuffer();
    WorkingBuffer(const WorkingBuffer&) = delete;
    WorkingBuffer& operator=(const WorkingBuffer&) = delete;

    bool failed() const { return data_ == nullptr && size_ > 0; }
    std::span<uint8_t> bytes() const { return {data_, data_ ? size_ : 0}; }

private:
    ByteBlock own_;
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    KeptBuffer* lent_ = nullptr;
};

}  // namespace vextaro
