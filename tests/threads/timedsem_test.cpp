#include "threads/timedsem.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <string>
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
// its timeout again: the deadline is fixed when the wait begins. The waiter is
// held in a signal handler while the post is made and taken, so the stolen
// wake-up happens every run rather than when the scheduler allows it.
std::atomic<bool> handlerEntered{false};
std::atomic<bool> handlerMayReturn{false};

void holdWhileStolen(int) {
    handlerEntered.store(true);
    while (!handlerMayReturn.load()) {
        const timespec pause{0, 1000000};
        nanosleep(&pause, nullptr);
    }
}

// True once thread `tid` of this process sleeps in futex(2), as a waiter on
// a condition variable does.
bool blockedInFutex(pid_t tid) {
    std::ifstream syscall("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    return (syscall >> number) && number == SYS_futex;
}

template <typename Condition>
void waitUntil(Condition condition) {
    while (!condition()) std::this_thread::sleep_for(milliseconds(1));
}

TEST(TimedSemaphore, StolenPostDoesNotExtendTheWait) {
    const int timeoutMs = 2000;
    handlerEntered = false;
    handlerMayReturn = false;
    struct sigaction hold {};
    hold.sa_handler = holdWhileStolen;
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR2, &hold, &previous), 0);

    pt::timedsem semaphore(0);
    std::atomic<pid_t> waiterTid{0};
    std::atomic<pthread_t> waiterThread{};
    Clock::time_point wokenAt;
    Clock::time_point returnedAt;
    const auto start = Clock::now();
    auto waiter = std::async(std::launch::async, [&] {
        waiterThread = pthread_self();
        waiterTid = static_cast<pid_t>(syscall(SYS_gettid));
        const bool took = semaphore.wait(timeoutMs);
        returnedAt = Clock::now();
        return took;
    });
    waitUntil([&] { return waiterTid.load() != 0 && blockedInFutex(waiterTid.load()); });
    // Late enough that a timeout restarted at the wake-up would run well past
    // the first deadline.
    waitUntil([&] { return since(start) >= milliseconds(timeoutMs * 9 / 10); });

    ASSERT_EQ(pthread_kill(waiterThread.load(), SIGUSR2), 0);
    waitUntil([] { return handlerEntered.load(); });
    semaphore.post();
    EXPECT_TRUE(semaphore.wait(0)) << "the post is taken while the waiter is held";
    wokenAt = Clock::now();
    handlerMayReturn = true;

    EXPECT_FALSE(waiter.get()) << "nothing was left for the waiter";
    EXPECT_LT(returnedAt - wokenAt, milliseconds(timeoutMs))
        << "the wait started again at the wake-up";
    sigaction(SIGUSR2, &previous, nullptr);
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
