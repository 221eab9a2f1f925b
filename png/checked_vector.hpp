// A growable array whose growth reports lack of memory instead of throwing. The
// module never throws: the first C++ throw on a thread allocates the runtime's
// thread-local state, and a failure there ends the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <utility>

#include "png/allocation.hpp"

namespace vextaro {

template <typename T>
class CheckedVector {
public:
    CheckedVector() = default;
    CheckedVector(CheckedVector&& other) noexcept
        : items_(std::exchange(other.items_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    CheckedVector(const CheckedVector&) = delete;
    CheckedVector& operator=(const CheckedVector&) = delete;
    CheckedVector& operator=(CheckedVector&&) = delete;
    ~CheckedVector() { clear(); }

    // False, with nothing changed, when the memory cannot be had.
    [[nodiscard]] bool push_back(T value) {
        if (size_ == capacity_ && !grow()) return false;
        new (items_ + size_) T(std::move(value));
        ++size_;
        return true;
    }

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T& operator[](size_t i) { return items_[i]; }
    const T& operator[](size_t i) const { return items_[i]; }
    T* begin() { return items_; }
    T* end() { return items_ + size_; }
    const T* begin() const { return items_; }
    const T* end() const { return items_ + size_; }
    operator std::span<const T>() const { return {items_, size_}; }

    void clear() {
        for (size_t i = 0; i < size_; ++i) items_[i].~T();
        deallocate(items_);
        items_ = nullptr;
        size_ = capacity_ = 0;
    }

private:
    bool grow() {
        const size_t capacity = capacity_ == 0 ? 8 : 2 * capacity_;
        if (capacity > SIZE_MAX / sizeof(T)) return false;
        auto* items = static_cast<T*>(allocate(capacity * sizeof(T)));
        if (items == nullptr) return false;
        for (size_t i = 0; i < size_; ++i) {
            new (items + i) T(std::move(items_[i]));
            items_[i].~T();
        }
        deallocate(items_);
        items_ = items;
        capacity_ = capacity;
        return true;
    }

    T* items_ = nullptr;
    size_t size_ = 0, capacity_ = 0;
};

}  // namespace vextaro
