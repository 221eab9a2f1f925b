// Where the rows of a BMP being read land while they arrive. Plain C++.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>

namespace vextaro::bmp {

// Rows arrive one at a time and the buffer grows with them, so that a header's
// claim alone never decides how much memory is taken. Bottom-up files fill the
// buffer from its end, so that the rows land in their final places as they come.
//
// `Storage` owns the bytes: `uint64_t size() const`, `uint8_t* data()`, and
// `bool grow(uint64_t to, uint64_t keep_from, uint64_t keep, uint64_t keep_to)`,
// which makes the buffer `to` bytes long with the `keep` bytes that were at
// `keep_from` now at `keep_to`, or returns false, having said why.
template <typename Storage>
class RowSink {
public:
    RowSink(Storage& storage, uint64_t total, bool from_end) : storage_(storage), total_(total), from_end_(from_end) {}

    // Room for `n` more bytes; nullptr when the buffer cannot grow (the storage said why).
    uint8_t* reserve(uint64_t n) {
        const uint64_t need = filled_ + n;
        if (!grown_ || need > storage_.size()) {
            const uint64_t wanted = std::min(total_, std::max({need, storage_.size() * 2, uint64_t{1} << 16}));
            if (wanted < need) return nullptr;  // more than the total: the caller's sizes are wrong
            const uint64_t old = storage_.size();
            const uint64_t keep_from = from_end_ ? old - filled_ : 0, keep_to = from_end_ ? wanted - filled_ : 0;
            if (!storage_.grow(wanted, keep_from, filled_, keep_to)) return nullptr;
            grown_ = true;
        }
        uint8_t* at = storage_.data() + (from_end_ ? storage_.size() - need : filled_);
        filled_ = need;
        return at;
    }

    uint64_t filled() const { return filled_; }

private:
    Storage& storage_;
    uint64_t total_;
    bool from_end_;
    bool grown_ = false;
    uint64_t filled_ = 0;
};

}  // namespace vextaro::bmp
