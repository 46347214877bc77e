#include "threads/trigger.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <vector>

namespace {

using std::chrono::milliseconds;

// Starts a thread that waits on `trigger`; the future is ready once it passed.
std::future<void> waiterOn(pt::trigger& trigger) {
    return std::async(std::launch::async, [&trigger] { trigger.wait(); });
}

bool passes(std::future<void>& waiter) {
    return waiter.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
}

bool blocks(std::future<void>& waiter) {
    return waiter.wait_for(milliseconds(200)) == std::future_status::timeout;
}

TEST(Trigger, AutoResetPostsDoNotAccumulate) {
    pt::trigger trigger(true, false);
    trigger.post();
    trigger.post();
    trigger.wait();  // the one post lets this wait through
    auto second = waiterOn(trigger);
    EXPECT_TRUE(blocks(second));
    trigger.post();
    EXPECT_TRUE(passes(second));
}

TEST(Trigger, AutoResetWakesOneWaiterPerPost) {
    pt::trigger trigger(true, false);
    std::future<void> waiters[2] = {waiterOn(trigger), waiterOn(trigger)};
    EXPECT_TRUE(blocks(waiters[0]));
    trigger.post();
    int passed = -1;
    for (int poll = 0; poll < 1000 && passed < 0; ++poll) {
        for (int i = 0; i < 2; ++i) {
            if (waiters[i].wait_for(milliseconds(5)) == std::future_status::ready) passed = i;
        }
    }
    ASSERT_GE(passed, 0) << "the post woke nobody";
    std::future<void>& other = waiters[1 - passed];
    EXPECT_TRUE(blocks(other)) << "one post woke both waiters";
    trigger.post();
    EXPECT_TRUE(passes(other));
}

TEST(Trigger, ManualResetLetsEveryWaitThroughUntilReset) {
    pt::trigger trigger(false, false);
    std::vector<std::future<void>> waiters;
    for (int i = 0; i < 3; ++i) waiters.push_back(waiterOn(trigger));
    EXPECT_TRUE(blocks(waiters[0]));
    trigger.post();
    for (auto& waiter : waiters) EXPECT_TRUE(passes(waiter));
    trigger.wait();  // still set for later waits
    trigger.reset();
    auto late = waiterOn(trigger);
    EXPECT_TRUE(blocks(late));
    trigger.post();
    EXPECT_TRUE(passes(late));
}

TEST(Trigger, InitialStateSet) {
    pt::trigger trigger(true, true);
    trigger.wait();
    auto next = waiterOn(trigger);
    EXPECT_TRUE(blocks(next));
    trigger.post();
    EXPECT_TRUE(passes(next));
}

}  // namespace
