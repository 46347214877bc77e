// ThreadLogScope: records logged on one of the server's own threads reach the
// main thread's active target at once, while the main thread does nothing
// but wait, as it does in the server's run loops. Without the scope the
// toolkit holds them back until the main thread flushes.

#include "threads/thread_log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>

#include "log_capture.h"
#include "threads/thread.h"

namespace {

// A joinable thread that runs a function and joins in its destructor.
class Worker : public pt::thread {
public:
    explicit Worker(std::function<void()> body) : pt::thread(false), body(std::move(body)) {}
    ~Worker() override { waitfor(); }

protected:
    void execute() override { body(); }

private:
    std::function<void()> body;
};

class ThreadLog : public testing::Test {
protected:
    // The toolkit's per-thread state is made on the main thread, before any
    // other thread exists, as the Core does before it starts its threads.
    void SetUp() override { ThreadLogScope::prepare(); }
    // Nothing the toolkit held back may leak into a later test's target.
    void TearDown() override { wxLog::FlushActive(); }

    LogCapture capture;
};

TEST_F(ThreadLog, RecordsOfAScopedThreadArriveAtOnceAtTheirLevels) {
    std::atomic<bool> seenWhileLogging{false};
    Worker worker([&] {
        ThreadLogScope scope;
        wxLogError("scoped error %d", 7);
        wxLogWarning("scoped warning");
        wxLogMessage("scoped message");
        // The main thread is blocked in the join below: only an immediate
        // delivery can have put the records there already.
        seenWhileLogging = capture.contains(wxLOG_Error, "scoped error 7") &&
                           capture.contains(wxLOG_Warning, "scoped warning") &&
                           capture.contains(wxLOG_Message, "scoped message");
    });
    worker.start();
    worker.waitfor();
    EXPECT_TRUE(seenWhileLogging);
    const std::vector<CapturedRecord> records = capture.records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].level, wxLOG_Error);
    EXPECT_EQ(records[0].text, "scoped error 7");
    EXPECT_EQ(records[1].level, wxLOG_Warning);
    EXPECT_EQ(records[2].level, wxLOG_Message);
}

TEST_F(ThreadLog, RecordsOfAnUnscopedThreadWaitForTheMainThread) {
    Worker worker([] { wxLogWarning("unscoped warning"); });
    worker.start();
    worker.waitfor();
    EXPECT_FALSE(capture.contains(wxLOG_Warning, "unscoped warning"));
    wxLog::FlushActive();
    EXPECT_TRUE(capture.contains(wxLOG_Warning, "unscoped warning"));
}

// Once the scope has closed, the thread is back to the toolkit's default:
// its records are held back again.
TEST_F(ThreadLog, ClosedScopeStopsTheImmediateDelivery) {
    Worker worker([] {
        { ThreadLogScope scope; }
        wxLogMessage("after the scope");
    });
    worker.start();
    worker.waitfor();
    EXPECT_FALSE(capture.contains(wxLOG_Message, "after the scope"));
    wxLog::FlushActive();
    EXPECT_TRUE(capture.contains(wxLOG_Message, "after the scope"));
}

// Several scoped threads at once, as the event handler and the scheduler
// log side by side.
TEST_F(ThreadLog, ScopedThreadsLogSideBySide) {
    constexpr int kThreads = 4;
    constexpr int kRecordsEach = 50;
    std::vector<std::unique_ptr<Worker>> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.push_back(std::make_unique<Worker>([t] {
            ThreadLogScope scope;
            for (int i = 0; i < kRecordsEach; ++i) wxLogMessage("thread %d record %d", t, i);
        }));
    }
    for (auto& worker : workers) worker->start();
    for (auto& worker : workers) worker->waitfor();
    EXPECT_EQ(capture.countContaining(" record "), std::size_t(kThreads * kRecordsEach));
}

}  // namespace
