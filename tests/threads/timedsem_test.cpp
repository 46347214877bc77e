#include "threads/timedsem.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

milliseconds since(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

TEST(TimedSemaphore, ZeroTimeoutTakesOnlyWhatIsThere) {
    pt::timedsem semaphore(0);
    const auto start = Clock::now();
    EXPECT_FALSE(semaphore.wait(0));
    EXPECT_LT(since(start), milliseconds(1000));

    semaphore.post();
    EXPECT_TRUE(semaphore.wait(0));
    EXPECT_FALSE(semaphore.wait(0)) << "the one post was taken";
}

TEST(TimedSemaphore, InitialCountAndEarlyPostsAreTakenAtOnce) {
    pt::timedsem semaphore(2);
    EXPECT_TRUE(semaphore.wait(0));
    EXPECT_TRUE(semaphore.wait(-1));
    semaphore.post();
    EXPECT_TRUE(semaphore.wait(5000));
    EXPECT_FALSE(semaphore.wait(0));
}

TEST(TimedSemaphore, NegativeTimeoutWaitsForThePost) {
    pt::timedsem semaphore(0);
    auto waiter = std::async(std::launch::async, [&] { return semaphore.wait(-1); });
    EXPECT_EQ(waiter.wait_for(milliseconds(200)), std::future_status::timeout);
    semaphore.post();
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(waiter.get());
}

TEST(TimedSemaphore, TimesOutNoEarlierThanAsked) {
    pt::timedsem semaphore(0);
    const auto start = Clock::now();
    EXPECT_FALSE(semaphore.wait(150));
    EXPECT_GE(since(start), milliseconds(150));
}

// A waiter woken for a post that another thread takes first must not start
// its timeout again: the deadline is fixed when the wait begins.
TEST(TimedSemaphore, StolenPostDoesNotExtendTheWait) {
    bool sawStolenWakeup = false;
    for (int attempt = 0; attempt < 5 && !sawStolenWakeup; ++attempt) {
        pt::timedsem semaphore(0);
        const auto start = Clock::now();
        auto waiter = std::async(std::launch::async, [&] { return semaphore.wait(1000); });
        std::this_thread::sleep_for(milliseconds(800));
        semaphore.post();
        const bool thiefWon = semaphore.wait(0);
        const bool waiterGotIt = waiter.get();
        EXPECT_NE(thiefWon, waiterGotIt) << "exactly one of them takes the post";
        if (waiterGotIt) continue;
        sawStolenWakeup = true;
        // Restarting the timeout at the wake-up would end near 1800 ms.
        EXPECT_LT(since(start), milliseconds(1500));
    }
    EXPECT_TRUE(sawStolenWakeup) << "the post was never taken from under the waiter";
}

TEST(TimedSemaphore, DeadlineCarriesIntoTheSeconds) {
    const timespec late = pt::deadlineAfter(timespec{10, 600000000}, 1500);
    EXPECT_EQ(late.tv_sec, 12);
    EXPECT_EQ(late.tv_nsec, 100000000);

    const timespec early = pt::deadlineAfter(timespec{10, 400000000}, 1500);
    EXPECT_EQ(early.tv_sec, 11);
    EXPECT_EQ(early.tv_nsec, 900000000);

    const timespec edge = pt::deadlineAfter(timespec{7, 999999999}, 1);
    EXPECT_EQ(edge.tv_sec, 8);
    EXPECT_EQ(edge.tv_nsec, 999999);

    const timespec none = pt::deadlineAfter(timespec{3, 5}, 0);
    EXPECT_EQ(none.tv_sec, 3);
    EXPECT_EQ(none.tv_nsec, 5);
}

}  // namespace
