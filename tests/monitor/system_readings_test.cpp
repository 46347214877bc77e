// The real system readings, the only ones the server uses: the wall clock,
// and the allocator's count of heap bytes in use, which only the build with
// tcmalloc can give.

#include "monitor/system_readings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

TEST(RealReadings, WallClockIsTimeInSeconds) {
    const std::int64_t before = std::time(nullptr);
    const std::int64_t reading = systemReadings().wallClockSeconds();
    const std::int64_t after = std::time(nullptr);
    EXPECT_GE(reading, before);
    EXPECT_LE(reading, after);
}

#ifndef TESSARD_HAVE_TCMALLOC

// The sanitizer builds bring their own allocator, which tcmalloc cannot
// count; the scheduler then makes no reading at all.
TEST(RealReadings, HeapStatisticIsUnavailableWithoutTcmalloc) {
    std::uint64_t bytes = 12345;
    EXPECT_FALSE(systemReadings().allocatedHeapBytes(bytes));
    EXPECT_EQ(bytes, 12345u);
}

#else

// Keeps the compiler from dropping an allocation nothing reads.
void escape(void* block) { asm volatile("" : : "g"(block) : "memory"); }

std::uint64_t allocatedNow() {
    std::uint64_t bytes = 0;
    EXPECT_TRUE(systemReadings().allocatedHeapBytes(bytes));
    return bytes;
}

TEST(RealReadings, HeapStatisticFollowsAllocations) {
    constexpr std::uint64_t kBlock = UINT64_C(64) << 20;
    // Size classes and the test's own small allocations blur the count.
    constexpr std::uint64_t kTolerance = UINT64_C(4) << 20;
    const std::uint64_t before = allocatedNow();
    void* block = std::malloc(kBlock);
    ASSERT_NE(block, nullptr);
    std::memset(block, 0x5a, kBlock);
    escape(block);
    const std::uint64_t during = allocatedNow();
    std::free(block);
    const std::uint64_t after = allocatedNow();
    EXPECT_GE(during, before + kBlock - kTolerance);
    EXPECT_LE(during, before + kBlock + kTolerance);
    EXPECT_LE(after + kBlock - kTolerance, during);
}

#endif

}  // namespace
