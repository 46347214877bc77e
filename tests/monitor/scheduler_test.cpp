// The scheduler thread, run as a real thread on scripted readings: each test
// steps its clock pass by pass and sets its heap statistic. Most tests run
// the thread on a Core that is not started, so every notice waits in the
// event queue, in order, for the test to take it; the last ones start a Core
// with probe plugins and look at what they received.

#include "monitor/scheduler_thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "app/core.h"
#include "core_notices.h"
#include "counting_allocator.h"
#include "messages.h"
#include "plugin_folder.h"
#include "probe_registry.h"
#include "scripted_readings.h"
#include "temp_dir.h"

namespace {

constexpr std::int64_t T0 = 1700000000;
// Far above any ceiling, and far below.
constexpr std::uint64_t kLowMemory = UINT64_C(1) << 62;
constexpr std::uint64_t kEnoughMemory = UINT64_C(1) << 20;

const char kLowText[] = "available system memory is low, throttling video";
const char kOkText[] = "available system memory ok, not throttling video";

bool isClockJump(const Notice& notice) {
    return notice.type == MSG_TYPE_TEXT &&
           notice.payload.rfind("system time changed by ", 0) == 0;
}

std::vector<Notice> withoutClockJumps(std::vector<Notice> notices) {
    notices.erase(std::remove_if(notices.begin(), notices.end(), isClockJump), notices.end());
    return notices;
}

void expectText(const Notice& notice, const std::string& text) {
    EXPECT_EQ(notice.source, CORE_ID);
    EXPECT_EQ(notice.flags, MSG_SELECT_6);
    EXPECT_EQ(notice.type, MSG_TYPE_TEXT);
    EXPECT_EQ(notice.handle, 0u);
    EXPECT_EQ(notice.payload, text);
}

void expectState(const Notice& notice, int throttling, std::int64_t time) {
    EXPECT_EQ(notice.source, CORE_ID);
    EXPECT_EQ(notice.flags, MSG_SELECT_2);
    EXPECT_EQ(notice.type, MSG_TYPE_XML);
    EXPECT_EQ(notice.handle, 0u);
    EXPECT_EQ(notice.payload, memoryStateText(throttling, time));
}

class Scheduler : public testing::Test {
protected:
    void TearDown() override { stopThread(); }

    // Starts the thread and waits until it is ready for its first pass; the
    // notices of its start are kept in startNotices.
    void startThread() {
        thread = std::make_unique<SchedulerThread>(core.monitor());
        thread->start();
        ASSERT_TRUE(readings.waitForClockReads(1)) << "the thread never read the clock";
        startNotices = takeNotices(core);
    }

    void stopThread() {
        if (!thread) return;
        readings.runFree();
        thread->signal();
        thread.reset();
    }

    // One pass with the clock at `seconds`, and what it sent.
    std::vector<Notice> passAt(std::int64_t seconds) {
        EXPECT_TRUE(readings.pass(seconds)) << "the pass at " << seconds << " did not end";
        return takeNotices(core);
    }

    std::vector<Notice> memoryNoticesAt(std::int64_t seconds) {
        return withoutClockJumps(passAt(seconds));
    }

    void disableThrottling() {
        writeFile(directory / "core.xml", "<Zelt><Memory Throttling=\"0\" /></Zelt>");
    }

    bool throttling() const { return core.monitor().throttling(); }

    TempDir directory;
    WorkingDirectory cwd{directory.path()};
    CountingAllocator allocator;
    ScriptedReadings readings;
    Core core{wxFileName(directory / "tessard"), allocator, readings};
    std::unique_ptr<SchedulerThread> thread;
    std::vector<Notice> startNotices;
};

TEST_F(Scheduler, StartsWithTheSettingAndNoReading) {
    readings.setHeap(kLowMemory);
    startThread();
    ASSERT_EQ(startNotices.size(), 1u);
    EXPECT_EQ(startNotices[0].flags, MSG_TO_OTHERS);
    EXPECT_EQ(startNotices[0].payload, settingsNoticeText(1));
    EXPECT_EQ(readFile(directory / "core.xml"), settingsFileText(1));
    EXPECT_TRUE(readings.heapReadings().empty());
    EXPECT_FALSE(throttling());
}

TEST_F(Scheduler, AnnouncesClockJumpsOfTwoSecondsOrMore) {
    disableThrottling();
    startThread();
    EXPECT_TRUE(passAt(T0).empty());
    EXPECT_TRUE(passAt(T0 + 1).empty());
    const std::vector<Notice> forward = passAt(T0 + 11);
    ASSERT_EQ(forward.size(), 1u);
    expectText(forward[0], "system time changed by 10 seconds");
    const std::vector<Notice> back = passAt(T0 + 6);
    ASSERT_EQ(back.size(), 1u);
    expectText(back[0], "system time changed by -5 seconds");
    EXPECT_TRUE(passAt(T0 + 7).empty());
    EXPECT_TRUE(passAt(T0 + 6).empty());
    EXPECT_TRUE(passAt(T0 + 6).empty());
    const std::vector<Notice> twoBack = passAt(T0 + 4);
    ASSERT_EQ(twoBack.size(), 1u);
    expectText(twoBack[0], "system time changed by -2 seconds");
    const std::vector<Notice> twoOn = passAt(T0 + 6);
    ASSERT_EQ(twoOn.size(), 1u);
    expectText(twoOn[0], "system time changed by 2 seconds");
}

TEST_F(Scheduler, FirstPassSendsTheStateWithTheCurrentTime) {
    readings.setHeap(kEnoughMemory);
    startThread();
    const std::vector<Notice> first = passAt(T0);
    ASSERT_EQ(first.size(), 1u);
    expectState(first[0], 0, T0);
    EXPECT_EQ(readings.heapReadings(), std::vector<std::int64_t>{T0});
    EXPECT_TRUE(passAt(T0 + 1).empty());
    EXPECT_FALSE(throttling());
}

// The first state document goes out before the first reading, so it reads
// "0" even when that reading is low.
TEST_F(Scheduler, FirstStateComesBeforeTheFirstReading) {
    readings.setHeap(kLowMemory);
    startThread();
    const std::vector<Notice> first = passAt(T0);
    ASSERT_EQ(first.size(), 3u);
    expectState(first[0], 0, T0);
    expectText(first[1], kLowText);
    expectState(first[2], 1, T0);
    EXPECT_TRUE(throttling());
}

TEST_F(Scheduler, SingleLowReadingThrottlesUntilSixtySecondsLater) {
    readings.setHeap(kEnoughMemory);
    startThread();
    ASSERT_EQ(passAt(T0).size(), 1u);

    readings.setHeap(kLowMemory);
    const std::vector<Notice> low = passAt(T0 + 1);
    ASSERT_EQ(low.size(), 2u);
    expectText(low[0], kLowText);
    expectState(low[1], 1, T0 + 1);
    EXPECT_TRUE(throttling());
    EXPECT_EQ(core.monitor().lastLowMemoryTime(), static_cast<std::uint64_t>(T0 + 1));

    readings.setHeap(kEnoughMemory);
    EXPECT_TRUE(passAt(T0 + 2).empty());
    EXPECT_FALSE(throttling());
    EXPECT_TRUE(memoryNoticesAt(T0 + 30).empty());
    EXPECT_TRUE(memoryNoticesAt(T0 + 60).empty()) << "59 seconds after the low reading";
    EXPECT_FALSE(throttling());

    const std::vector<Notice> ok = passAt(T0 + 61);
    ASSERT_EQ(ok.size(), 2u);
    expectText(ok[0], kOkText);
    expectState(ok[1], 0, T0 + 1);
    EXPECT_EQ(core.monitor().lastLowMemoryTime(), 0u);
    EXPECT_TRUE(passAt(T0 + 62).empty());
}

TEST_F(Scheduler, LowReadingsWithinSixtySecondsContinueThePeriod) {
    readings.setHeap(kEnoughMemory);
    startThread();
    passAt(T0);
    readings.setHeap(kLowMemory);
    EXPECT_EQ(passAt(T0 + 1).size(), 2u);
    readings.setHeap(kEnoughMemory);
    EXPECT_TRUE(passAt(T0 + 2).empty());
    EXPECT_FALSE(throttling());

    readings.setHeap(kLowMemory);
    EXPECT_TRUE(passAt(T0 + 3).empty());
    EXPECT_TRUE(throttling());
    EXPECT_TRUE(passAt(T0 + 4).empty());
    EXPECT_EQ(core.monitor().lastLowMemoryTime(), static_cast<std::uint64_t>(T0 + 4));

    readings.setHeap(kEnoughMemory);
    EXPECT_TRUE(passAt(T0 + 5).empty());
    EXPECT_TRUE(memoryNoticesAt(T0 + 63).empty()) << "59 seconds after the last low reading";
    const std::vector<Notice> ok = passAt(T0 + 64);
    ASSERT_EQ(ok.size(), 2u);
    expectText(ok[0], kOkText);
    expectState(ok[1], 0, T0 + 4);

    // The next low reading opens a new period.
    readings.setHeap(kLowMemory);
    const std::vector<Notice> again = passAt(T0 + 65);
    ASSERT_EQ(again.size(), 2u);
    expectText(again[0], kLowText);
    expectState(again[1], 1, T0 + 65);
}

TEST_F(Scheduler, DisabledThrottlingNeverReadsTheHeap) {
    disableThrottling();
    readings.setHeap(kLowMemory);
    startThread();
    ASSERT_EQ(startNotices.size(), 1u);
    EXPECT_EQ(startNotices[0].payload, settingsNoticeText(0));
    EXPECT_TRUE(passAt(T0).empty());
    EXPECT_TRUE(passAt(T0 + 1).empty());
    EXPECT_TRUE(passAt(T0 + 2).empty());
    // The clock is still watched.
    const std::vector<Notice> jump = passAt(T0 + 100);
    ASSERT_EQ(jump.size(), 1u);
    EXPECT_TRUE(isClockJump(jump[0]));
    EXPECT_TRUE(readings.heapReadings().empty());
    EXPECT_FALSE(throttling());
}

TEST_F(Scheduler, ReadsTheHeapAtMostOncePerSecond) {
    readings.setHeap(kEnoughMemory);
    startThread();
    for (std::int64_t offset : {0, 0, 0, 1, 1, 2, 2, 2, 1}) passAt(T0 + offset);
    const std::vector<std::int64_t> expected{T0, T0 + 1, T0 + 2, T0 + 1};
    EXPECT_EQ(readings.heapReadings(), expected);
}

TEST_F(Scheduler, FailingHeapReadingChangesNothing) {
    readings.failHeap();
    startThread();
    const std::vector<Notice> first = passAt(T0);
    ASSERT_EQ(first.size(), 1u);
    expectState(first[0], 0, T0);
    EXPECT_TRUE(passAt(T0 + 1).empty());
    EXPECT_FALSE(throttling());

    readings.setHeap(kLowMemory);
    EXPECT_EQ(passAt(T0 + 2).size(), 2u);
    readings.failHeap();
    EXPECT_TRUE(passAt(T0 + 3).empty());
    EXPECT_TRUE(memoryNoticesAt(T0 + 100).empty());
    EXPECT_TRUE(passAt(T0 + 101).empty());
    EXPECT_TRUE(throttling());
    EXPECT_EQ(core.monitor().lastLowMemoryTime(), static_cast<std::uint64_t>(T0 + 2));
    // Each of those seconds was tried.
    EXPECT_EQ(readings.heapReadings().size(), 6u);

    readings.setHeap(kEnoughMemory);
    const std::vector<Notice> ok = passAt(T0 + 102);
    ASSERT_EQ(ok.size(), 2u);
    expectText(ok[0], kOkText);
    expectState(ok[1], 0, T0 + 2);
    EXPECT_FALSE(throttling());
}

// The thread is held inside a pass when the stop request comes; it finishes
// that pass and ends without reading the clock again.
TEST_F(Scheduler, StopRequestEndsTheThreadWithinOnePass) {
    readings.setHeap(kEnoughMemory);
    startThread();
    passAt(T0);
    const std::uint64_t reads = readings.clockReadCount();
    thread->signal();
    readings.offer(T0 + 1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!thread->isFinished() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(thread->isFinished()) << "the thread did not end after its stop request";
    EXPECT_EQ(readings.clockReadCount(), reads);
    thread.reset();
}

TEST_F(Scheduler, ThrottlingRefusesSequencedRecords) {
    constexpr std::uint64_t kSender = 0x4D77;
    const std::string frame = "frame";
    auto send = [](const CoreMessage& message) {
        CoreStatus status{sizeof(CoreStatus), 1, 0};
        coreCallback(&message, &status);
        return status.code;
    };
    readings.setHeap(kEnoughMemory);
    startThread();
    passAt(T0);
    EXPECT_EQ(send(sequenced(kSender, true, &frame)), STATUS_OK);

    readings.setHeap(kLowMemory);
    passAt(T0 + 1);
    ASSERT_TRUE(throttling());
    EXPECT_EQ(send(sequenced(kSender, false, &frame)), STATUS_THROTTLED);
    EXPECT_FALSE(core.router().sequences().isOpen(kSender));
    EXPECT_EQ(send(sequenced(kSender, true, &frame)), STATUS_THROTTLED);
    // Only sequenced records are refused.
    EXPECT_EQ(send(message(kSender, MSG_SELECT_1, 0x42, &frame)), STATUS_OK);

    readings.setHeap(kEnoughMemory);
    passAt(T0 + 2);
    ASSERT_FALSE(throttling());
    EXPECT_EQ(send(sequenced(kSender, true, &frame)), STATUS_OK);
    EXPECT_EQ(send(sequenced(kSender, false, &frame)), STATUS_OK);
    takeNotices(core);
    EXPECT_EQ(allocator.liveBlocks(), 0);
}

// A Core started for real, with probe plugins, on scripted readings.
class SchedulerInACore : public testing::Test {
protected:
    void TearDown() override {
        readings.runFree();
        if (core) core->stop();
        core.reset();
        forgetProbes();
    }

    void start() {
        core = std::make_unique<Core>(folder.exePath(), allocator, readings);
        core->start();
        ASSERT_TRUE(readings.waitForClockReads(1));
    }

    PluginFolder folder;
    WorkingDirectory cwd{folder.root()};
    CountingAllocator allocator;
    ScriptedReadings readings;
    std::unique_ptr<Core> core;
};

TEST_F(SchedulerInACore, StartsOneEmptyReadForEveryReadingPlugin) {
    ProbeControl& reader = probeNamed("mon_reader.so");
    reader.behaviour.info = pluginInfo(0x4D10);
    reader.behaviour.info.readPolling = 1;
    ProbeControl& quiet = probeNamed("mon_quiet.so");
    quiet.behaviour.info = pluginInfo(0x4D11);
    folder.install("probe", "mon_reader.so");
    folder.install("probe", "mon_quiet.so");
    start();
    ASSERT_TRUE(reader.waitFor(ProbeEntry::Read, 1));
    EXPECT_TRUE(readings.pass(T0));
    EXPECT_TRUE(readings.pass(T0 + 1));
    readings.runFree();
    core->stop();

    const std::vector<ProbeCall> reads = reader.callsOf(ProbeEntry::Read);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].read.size, sizeof(ReadRequest));
    EXPECT_EQ(reads[0].read.onWorker, 1);
    EXPECT_EQ(reads[0].read.handle, 0u);
    EXPECT_EQ(reads[0].read.payload, nullptr);
    EXPECT_EQ(reads[0].read.length, 0u);
    EXPECT_EQ(quiet.count(ProbeEntry::Read), 0u);
}

// The state document reaches by Write a plugin whose entry 2 covers the
// delivery key of XML documents (the class bit moved up), not one that
// holds the type itself; clock notices go to entry 6.
TEST_F(SchedulerInACore, NoticesReachSubscribedPluginsByWrite) {
    ProbeControl& listener = probeNamed("mon_listener.so");
    listener.behaviour.info = pluginInfo(0x4D20);
    listener.behaviour.info.writeEvents = 1;
    listener.behaviour.info.eventMasks[2] = 0x2000010;
    listener.behaviour.info.eventMasks[6] = 0x2000002;
    ProbeControl& unfolded = probeNamed("mon_unfolded.so");
    unfolded.behaviour.info = pluginInfo(0x4D21);
    unfolded.behaviour.info.writeEvents = 1;
    unfolded.behaviour.info.eventMasks[2] = MSG_TYPE_XML;
    folder.install("probe", "mon_listener.so");
    folder.install("probe", "mon_unfolded.so");
    readings.setHeap(kEnoughMemory);
    start();
    EXPECT_TRUE(readings.pass(T0));
    EXPECT_TRUE(readings.pass(T0 + 10));
    ASSERT_TRUE(listener.waitFor(ProbeEntry::Write, 2));

    const std::vector<ProbeCall> writes = listener.callsOf(ProbeEntry::Write);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].write.source, CORE_ID);
    EXPECT_EQ(writes[0].write.flags, MSG_SELECT_2);
    EXPECT_EQ(writes[0].write.type, MSG_TYPE_XML);
    EXPECT_EQ(writes[0].payload, memoryStateText(0, T0));
    EXPECT_EQ(writes[1].write.flags, MSG_SELECT_6);
    EXPECT_EQ(writes[1].write.type, MSG_TYPE_TEXT);
    EXPECT_EQ(writes[1].payload, "system time changed by 10 seconds");
    // The state document was walked past every plugin before the text.
    EXPECT_EQ(unfolded.count(ProbeEntry::Write), 0u);
}

}  // namespace
