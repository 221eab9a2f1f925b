#include "png/allocation.hpp"

#include <gtest/gtest.h>

#include <cstdint>

namespace vextaro {
namespace {

struct Counted {
    virtual ~Counted() { ++ended; }
    static inline int ended = 0;
};

struct Padding {
    virtual ~Padding() = default;
    uint64_t bytes[3] = {};
};

// Its Counted part starts after its Padding part: freeing the base's address would free
// inside the block (the C library aborts, valgrind reports it).
struct Derived final : Padding, Counted {
    ~Derived() override { ++ended; }
    static inline int ended = 0;
};

TEST(Allocation, AnObjectOwnedThroughABaseInsideItIsEndedAndFreedWhole) {
    Owned<Derived> made = make<Derived>();
    ASSERT_TRUE(made);
    Counted* base = made.get();
    ASSERT_NE(static_cast<void*>(base), static_cast<void*>(made.get()));
    Owned<Counted> owner = std::move(made);
    owner.reset();
    EXPECT_EQ(Derived::ended, 1);
    EXPECT_EQ(Counted::ended, 1);
}

TEST(Allocation, MemoryThatCannotBeHadIsNullNotAThrow) {
    EXPECT_FALSE(allocate_bytes(SIZE_MAX / 2));
    const ByteBlock none = allocate_bytes(0);
    EXPECT_TRUE(none) << "null is kept for failure, even for no bytes";
}

}  // namespace
}  // namespace vextaro
