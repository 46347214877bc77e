#include "threads/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <thread>

#include "threads/fatal.h"
#include "threads/sleep.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

bool eventually(const std::function<bool()>& condition) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(milliseconds(5));
    }
    return condition();
}

// A joinable thread that runs a function and joins in its destructor, as the
// Core's long-lived threads do.
class Joinable : public pt::thread {
public:
    explicit Joinable(std::function<void(Joinable&)> body) : pt::thread(false), body(std::move(body)) {}
    ~Joinable() override { waitfor(); }
    using pt::thread::relax;

protected:
    void execute() override { body(*this); }

private:
    std::function<void(Joinable&)> body;
};

TEST(Thread, StartsOnceAndJoins) {
    std::atomic<int> runs{0};
    Joinable thread([&](Joinable&) { ++runs; });
    EXPECT_FALSE(thread.isRunning());
    thread.start();
    thread.start();
    EXPECT_TRUE(thread.isRunning());
    ASSERT_TRUE(eventually([&] { return thread.isFinished(); }));
    thread.waitfor();
    thread.waitfor();  // a second join returns at once
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(thread.threadHandle(), pthread_t(0));
}

TEST(Thread, SignalBeforeStartIsSeenByTheFirstRelax) {
    std::promise<bool> firstRelax;
    Joinable thread([&](Joinable& self) { firstRelax.set_value(self.relax(10000)); });
    thread.signal();
    EXPECT_TRUE(thread.isSignaled());
    const auto start = Clock::now();
    thread.start();
    EXPECT_TRUE(firstRelax.get_future().get());
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
}

TEST(Thread, SignalTwicePostsOnce) {
    std::promise<std::pair<bool, bool>> relaxes;
    Joinable thread([&](Joinable& self) {
        const bool first = self.relax(5000);
        const bool second = self.relax(100);
        relaxes.set_value({first, second});
    });
    thread.signal();
    thread.signal();
    thread.start();
    const auto [first, second] = relaxes.get_future().get();
    EXPECT_TRUE(first);
    EXPECT_FALSE(second) << "the second signal posted again";
}

TEST(Thread, SignalEndsRelaxEarly) {
    std::promise<bool> relaxed;
    Joinable thread([&](Joinable& self) { relaxed.set_value(self.relax(-1)); });
    thread.start();
    std::this_thread::sleep_for(milliseconds(100));
    thread.signal();
    auto result = relaxed.get_future();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(result.get());
}

TEST(Thread, JoinableHandleIsTheThreadItself) {
    std::promise<bool> same;
    Joinable thread([&](Joinable& self) { same.set_value(pt::isCurrentThread(self.threadHandle())); });
    thread.start();
    EXPECT_TRUE(same.get_future().get());
}

// An autofree thread reports how it ended through shared flags, since its
// object is gone afterwards.
struct AutofreeReport {
    std::atomic<bool> handleWasOwn{false};
    std::atomic<bool> cleanedUp{false};
    std::atomic<bool> destroyed{false};
};

class SelfDeleting : public pt::thread {
public:
    explicit SelfDeleting(AutofreeReport& report) : pt::thread(true), report(report) {}
    ~SelfDeleting() override { report.destroyed = true; }

protected:
    void execute() override { report.handleWasOwn = pt::isCurrentThread(threadHandle()); }
    void cleanup() override { report.cleanedUp = true; }

private:
    AutofreeReport& report;
};

TEST(Thread, AutofreeThreadDeletesItself) {
    AutofreeReport report;
    (new SelfDeleting(report))->start();
    ASSERT_TRUE(eventually([&] { return report.destroyed.load(); }));
    EXPECT_TRUE(report.handleWasOwn);
    EXPECT_TRUE(report.cleanedUp);
}

class ThrowingCleanup : public pt::thread {
public:
    ThrowingCleanup() : pt::thread(false) {}
    ~ThrowingCleanup() override { waitfor(); }

protected:
    void execute() override {}
    void cleanup() override { throw new pt::exception("from cleanup"); }
};

TEST(Thread, ExceptionFromCleanupIsSwallowed) {
    ThrowingCleanup thread;
    thread.start();
    ASSERT_TRUE(eventually([&] { return thread.isFinished(); }));
}

TEST(Sleep, SleepsAtLeastAsLongAsAsked) {
    const auto start = Clock::now();
    pt::psleep(60);
    EXPECT_GE(Clock::now() - start, milliseconds(60));
}

// ---- Fatal exits ----------------------------------------------------------

class ThreadDeathTest : public testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(ThreadDeathTest, FatalPrintsAndExitsWithTheLowByte) {
    EXPECT_EXIT(pt::fatal(pt::FATAL_SEMAPHORE, "Semaphore failed"), testing::ExitedWithCode(41),
                "\nInternal \\[c0029\\]: Semaphore failed\n");
    EXPECT_EXIT(pt::fatal(pt::FATAL_THREAD_CREATE, "pthread_create() failed"),
                testing::ExitedWithCode(40), "Internal \\[c0028\\]: pthread_create\\(\\) failed");
}

TEST_F(ThreadDeathTest, WaitforOnItselfIsFatal) {
    EXPECT_EXIT(
        {
            Joinable thread([](Joinable& self) { self.waitfor(); });
            thread.start();
            pt::psleep(10000);
        },
        testing::ExitedWithCode(47), "Internal \\[c002f\\]: Can not waitfor\\(\\) on myself");
}

class Autofree : public pt::thread {
public:
    Autofree() : pt::thread(true) {}

protected:
    void execute() override {}
};

TEST_F(ThreadDeathTest, WaitforOnAutofreeIsFatal) {
    EXPECT_EXIT(
        {
            Autofree thread;
            thread.waitfor();
        },
        testing::ExitedWithCode(48), "Internal \\[c0030\\]: Can not waitfor\\(\\) on an autofree thread");
}

class ThrowingExecute : public pt::thread {
public:
    ThrowingExecute() : pt::thread(false) {}
    ~ThrowingExecute() override { waitfor(); }

protected:
    void execute() override { throw new pt::exception("from execute"); }
    void cleanup() override { std::fputs("cleanup ran\n", stderr); }
};

// The exception leaves the thread uncaught, but only after the epilogue ran.
TEST_F(ThreadDeathTest, ExceptionFromExecuteRunsCleanupFirst) {
    EXPECT_DEATH(
        {
            ThrowingExecute thread;
            thread.start();
            pt::psleep(10000);
        },
        "cleanup ran");
}

}  // namespace
