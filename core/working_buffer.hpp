// Memory an open needs only while it runs (the joined image data of an RGB
// image), kept by each thread from one open to the next. Fresh pages cost more than the bytes copied into them (about 0.5 ms a
// megabyte where the benchmark runs), and PyPy frees large buffers only when it
// collects: a loop of opens would fault in this memory anew every time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace vextaro {

class WorkingBuffer {
public:
    // A thread keeps at most this much between opens; the memory of a larger
    // need is returned as soon as it is done with.
    static constexpr size_t kKeptBytes = size_t{16} << 20;

    // `size` bytes, their contents unspecified: the thread's kept buffer, grown
    // if need be, unless it is already lent out (an open started by code the
    // first one ran) or `size` is over the limit. Throws std::bad_alloc.
    explicit WorkingBuffer(size_t size);
    ~WorkingBuffer();
    WorkingBuffer(const WorkingBuffer&) = delete;
    WorkingBuffer& operator=(const WorkingBuffer&) = delete;

    std::span<uint8_t> bytes() const { return {data_, size_}; }

private:
    std::unique_ptr<uint8_t[]> own_;
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    bool lent_ = false;
};

}  // namespace vextaro
