#include "core/working_buffer.hpp"

#include <gtest/gtest.h>

#include <cstring>

namespace vextaro {
namespace {

bool overlap(std::span<uint8_t> a, std::span<uint8_t> b) {
    return a.data() < b.data() + b.size() && b.data() < a.data() + a.size();
}

TEST(WorkingBuffer, KeptFromOneUseToTheNextAndNeverLentTwice) {
    KeptBuffer kept;
    uint8_t* first = nullptr;
    {
        WorkingBuffer outer(1000, &kept);
        first = outer.bytes().data();
        std::memset(outer.bytes().data(), 1, 1000);
        // An open started while the first is still working gets memory of its own.
        WorkingBuffer inner(1000, &kept);
        ASSERT_EQ(inner.bytes().size(), 1000u);
        EXPECT_FALSE(overlap(outer.bytes(), inner.bytes()));
        std::memset(inner.bytes().data(), 2, 1000);
        EXPECT_EQ(outer.bytes()[999], 1);
    }
    WorkingBuffer again(900, &kept);
    EXPECT_EQ(again.bytes().data(), first) << "a need the kept buffer can meet reuses it";
    EXPECT_EQ(again.bytes().size(), 900u);
}

TEST(WorkingBuffer, OverTheLimitOrWithoutAKeptBufferGetTheirOwn) {
    KeptBuffer kept;
    uint8_t* first = WorkingBuffer(10, &kept).bytes().data();
    {
        WorkingBuffer large(WorkingBuffer::kKeptBytes + 1, &kept);
        EXPECT_NE(large.bytes().data(), first);
        large.bytes().back() = 7;
    }
    EXPECT_EQ(WorkingBuffer(10, &kept).bytes().data(), first) << "a large need does not replace the kept buffer";
    WorkingBuffer none(10, nullptr);
    EXPECT_EQ(none.bytes().size(), 10u);
    EXPECT_NE(none.bytes().data(), first);
}

TEST(WorkingBuffer, AKeptBufferLetGoOfWhileLentIsFreedByItsBorrower) {
    KeptBuffer* kept = make<KeptBuffer>().release();
    WorkingBuffer borrowed(10, kept);
    kept->orphaned = true;  // what its owner does when the buffer is lent (valgrind checks the rest)
}

TEST(WorkingBuffer, MemoryThatCannotBeHadIsAFailureNotAThrow) {
    WorkingBuffer huge(size_t{1} << 46, nullptr);
    EXPECT_TRUE(huge.failed());
    EXPECT_TRUE(huge.bytes().empty());
}

}  // namespace
}  // namespace vextaro
