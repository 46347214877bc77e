#include "threads/semaphore.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

std::atomic<int> interruptions{0};

void countInterruption(int) { ++interruptions; }

TEST(Semaphore, CountsPostsAndWaits) {
    pt::semaphore semaphore(2);
    semaphore.wait();
    semaphore.wait();
    std::atomic<bool> passed{false};
    std::thread waiter([&] {
        semaphore.wait();
        passed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(passed);
    semaphore.post();
    waiter.join();
    EXPECT_TRUE(passed);
}

// A signal handler that interrupts the wait must not end it.
TEST(Semaphore, WaitSurvivesSignalHandler) {
    struct sigaction action {};
    action.sa_handler = countInterruption;  // no SA_RESTART: sem_wait sees EINTR
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    pt::semaphore semaphore(0);
    std::atomic<bool> passed{false};
    std::thread waiter([&] {
        semaphore.wait();
        passed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pthread_kill(waiter.native_handle(), SIGUSR1);
    for (int i = 0; i < 100 && interruptions == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(interruptions, 1);
    EXPECT_FALSE(passed) << "the interrupted wait returned";
    semaphore.post();
    waiter.join();
    EXPECT_TRUE(passed);
    sigaction(SIGUSR1, &previous, nullptr);
}

}  // namespace
