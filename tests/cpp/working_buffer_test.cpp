#include "core/working_buffer.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace vextaro {
namespace {

bool overlap(std::span<uint8_t> a, std::span<uint8_t> b) {
    return a.data() < b.data() + b.size() && b.data() < a.data() + a.size();
}

TEST(WorkingBuffer, KeptFromOneUseToTheNextAndNeverLentTwice) {
    uint8_t* first = nullptr;
    {
        WorkingBuffer outer(1000);
        first = outer.bytes().data();
        std::memset(outer.bytes().data(), 1, 1000);
        // An open started while the first is still working gets memory of its own.
        WorkingBuffer inner(1000);
        ASSERT_EQ(inner.bytes().size(), 1000u);
        EXPECT_FALSE(overlap(outer.bytes(), inner.bytes()));
        std::memset(inner.bytes().data(), 2, 1000);
        EXPECT_EQ(outer.bytes()[999], 1);
    }
    WorkingBuffer again(900);
    EXPECT_EQ(again.bytes().data(), first) << "a need the kept buffer can meet reuses it";
    EXPECT_EQ(again.bytes().size(), 900u);
}

TEST(WorkingBuffer, OverTheLimitAndOtherThreadsGetTheirOwn) {
    uint8_t* kept = WorkingBuffer(10).bytes().data();
    {
        WorkingBuffer large(WorkingBuffer::kKeptBytes + 1);
        EXPECT_NE(large.bytes().data(), kept);
        large.bytes().back() = 7;
    }
    EXPECT_EQ(WorkingBuffer(10).bytes().data(), kept) << "a large need does not replace the kept buffer";
    WorkingBuffer here(10);
    uint8_t* there = nullptr;
    std::thread([&] { there = WorkingBuffer(10).bytes().data(); }).join();
    EXPECT_NE(there, here.bytes().data());
}

}  // namespace
}  // namespace vextaro
