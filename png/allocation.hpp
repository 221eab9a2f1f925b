// All the memory the module allocates comes from here: malloc and free, never
// the C++ runtime's operator new. libstdc++'s no-throw new throws and catches
// inside itself, and its first throw on a thread makes the runtime's
// thread-local state with malloc: where malloc fails, that ends the process
// instead of becoming a MemoryError. Null is how lack of memory is reported.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace vextaro {

// `size` bytes (at least one, so that null always means failure), or null.
inline void* allocate(size_t size) noexcept { return std::malloc(size > 0 ? size : 1); }
inline void deallocate(void* block) noexcept { std::free(block); }

struct Deallocate {
    void operator()(void* block) const noexcept { deallocate(block); }
};

// An array of bytes, freed with its owner.
using ByteBlock = std::unique_ptr<uint8_t[], Deallocate>;

// `size` bytes, their contents unspecified; null when they cannot be had.
inline ByteBlock allocate_bytes(size_t size) noexcept { return ByteBlock(static_cast<uint8_t*>(allocate(size))); }

// Ends an object that make() made; one of a class with a virtual destructor
// may be owned through its base.
template <typename T>
struct Destroy {
    Destroy() = default;
    template <std::derived_from<T> Derived>
    Destroy(const Destroy<Derived>&) noexcept {}

    void operator()(T* object) const noexcept {
        static_assert(!std::is_polymorphic_v<T> || std::has_virtual_destructor_v<T>);
        void* block = object;
        // The whole object's address, which a base need not start at.
        if constexpr (std::is_polymorphic_v<T>) block = dynamic_cast<void*>(object);
        object->~T();
        deallocate(block);
    }
};

template <typename T>
using Owned = std::unique_ptr<T, Destroy<T>>;

// A T made in memory of allocate()'s; null when there is none. The
// constructor must not throw: the module never does.
template <typename T, typename... Args>
Owned<T> make(Args&&... args) noexcept {
    static_assert(alignof(T) <= alignof(std::max_align_t) && std::is_nothrow_constructible_v<T, Args...>);
    void* block = allocate(sizeof(T));
    return Owned<T>(block ? ::new (block) T(std::forward<Args>(args)...) : nullptr);
}

// Ends an object make() made, whose ownership was released.
template <typename T>
void destroy(T* object) noexcept {
    if (object != nullptr) Destroy<T>{}(object);
}

}  // namespace vextaro
