// The Core's start and stop sequences, with real plugin libraries loaded by
// the real loader.

#include "app/core.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <condition_variable>
#include <future>
#include <thread>
#include <mutex>
#include <vector>

#include "counting_allocator.h"
#include "log_capture.h"
#include "dispatch/event_handler_thread.h"
#include "messages.h"
#include "monitor/scheduler_thread.h"
#include "plugin_folder.h"
#include "probe_registry.h"

namespace {

constexpr std::uint64_t kProbeId = 0x1001;
constexpr std::uint64_t kTestType = 0x42;

// A probe that takes every event through Write.
ProbeControl& subscribedProbe(const std::string& fileName, std::uint64_t id) {
    ProbeControl& probe = probeNamed(fileName);
    probe.behaviour.info = pluginInfo(id);
    probe.behaviour.info.writeEvents = 1;
    for (std::uint64_t& mask : probe.behaviour.info.eventMasks) mask = UINT64_MAX;
    return probe;
}

std::size_t writesOfType(ProbeControl& probe, std::uint64_t type) {
    std::size_t count = 0;
    for (const ProbeCall& call : probe.callsOf(ProbeEntry::Write)) count += call.write.type == type;
    return count;
}

// Ends the test process if the scope is not left within `limit`: a stop that
// hangs fails the test instead of hanging it. The stop itself runs on the
// main thread, as in the server, so that its log records arrive at once.
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit)
        : guard(std::async(std::launch::async, [this, limit] {
              std::unique_lock<std::mutex> hold(lock);
              if (!left.wait_for(hold, limit, [this] { return done; })) {
                  std::fprintf(stderr, "watchdog: the stop did not return\n");
                  std::_Exit(1);
              }
          })) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> hold(lock);
            done = true;
        }
        left.notify_all();
    }

private:
    std::mutex lock;
    std::condition_variable left;
    bool done = false;
    std::future<void> guard;
};

class CoreLifecycle : public testing::Test {
protected:
    void TearDown() override { forgetProbes(); }

    PluginFolder folder;
    WorkingDirectory cwd{folder.root()};
    CountingAllocator allocator;
};

TEST_F(CoreLifecycle, StopWithoutStartIsHarmless) {
    Core core(folder.exePath(), allocator);
    EXPECT_EQ(theCore, &core);
    core.stop();
    core.stop();
    EXPECT_FALSE(core.dispatcher().isRunning());
    EXPECT_FALSE(core.monitor().isRunning());
}

TEST_F(CoreLifecycle, StartsWithoutPluginsDirectoryAndStopsTwice) {
    TempDir bare;
    WorkingDirectory inBare(bare.path());
    Core core(wxFileName(bare / "tessard"), allocator);
    EXPECT_TRUE(core.start());
    EXPECT_TRUE(core.dispatcher().isRunning());
    EXPECT_TRUE(core.monitor().isRunning());
    EXPECT_TRUE(fileExists(bare / "plugins.xml"));
    EXPECT_EQ(core.plugins().size(), 0u);

    auto stopping = std::async(std::launch::async, [&] { core.stop(); });
    ASSERT_EQ(stopping.wait_for(std::chrono::seconds(20)), std::future_status::ready)
        << "stop did not return: a thread blocked in its wait was not woken";
    EXPECT_FALSE(core.dispatcher().isRunning());
    EXPECT_FALSE(core.monitor().isRunning());
    core.stop();
}

TEST_F(CoreLifecycle, CallbackDuringLoadAlreadyReachesTheCore) {
    ProbeControl& probe = subscribedProbe("probe.so", kProbeId);
    const std::string hello = "hello";
    std::int32_t statusInLoad = -2;
    probe.behaviour.onLoad = [&](ProbeControl& self) {
        statusInLoad = self.send(message(kProbeId, MSG_SELECT_1, kTestType, &hello));
    };
    folder.install("probe", "probe.so");
    Core core(folder.exePath(), allocator);
    core.start();
    EXPECT_EQ(statusInLoad, STATUS_OK);
    ASSERT_TRUE(probe.waitFor(ProbeEntry::Write, 1));
    bool delivered = false;
    for (const ProbeCall& call : probe.callsOf(ProbeEntry::Write)) {
        delivered = delivered || (call.write.type == kTestType && call.payload == hello);
    }
    EXPECT_TRUE(delivered);
    core.stop();
}

// Once the event handler has stopped (here, during a plugin's Close) an
// event would reach nobody: it is refused as such, nothing is copied, and
// the sender is never told it was accepted.
TEST_F(CoreLifecycle, StopDiscardsWhatIsStillQueued) {
    ProbeControl& probe = subscribedProbe("probe.so", kProbeId);
    const std::string frame(1000, 'x');
    probe.behaviour.onClose = [&](ProbeControl& self) {
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(self.send(message(kProbeId, MSG_SELECT_1, kTestType, &frame)),
                      STATUS_STOPPING);
        }
    };
    folder.install("probe", "probe.so");
    Core core(folder.exePath(), allocator);
    core.start();
    core.stop();
    EXPECT_EQ(probe.count(ProbeEntry::Close), 1u);
    EXPECT_EQ(writesOfType(probe, kTestType), 0u);
    EXPECT_EQ(allocator.liveBlocks(), 0);
    EXPECT_TRUE(core.router().events().empty());
}

// A plugin thread may still send after the Core stopped; the message is
// refused as one nobody would see, touches nothing freed and copies nothing.
TEST_F(CoreLifecycle, MessageSentAfterStopIsRefusedWithoutACopy) {
    const std::string frame(64, 'y');
    {
        Core core(folder.exePath(), allocator);
        core.start();
        core.stop();
        const CoreMessage late = message(kProbeId, MSG_SELECT_1, kTestType, &frame);
        CoreStatus status{sizeof(CoreStatus), 1, 0};
        EXPECT_EQ(coreCallback(&late, &status), 0);
        EXPECT_EQ(status.code, STATUS_STOPPING);
        EXPECT_EQ(allocator.liveBlocks(), 0);
    }
    EXPECT_EQ(allocator.liveBlocks(), 0);
}

// A payload a plugin retained and never gave back outlives the plugin; the
// Core frees it when it goes.
TEST_F(CoreLifecycle, RetainedPayloadIsFreedWithTheCore) {
    ProbeControl& probe = subscribedProbe("probe.so", kProbeId);
    probe.behaviour.retainWrites = true;
    folder.install("probe", "probe.so");
    const std::string frame(256, 'z');
    {
        Core core(folder.exePath(), allocator);
        core.start();
        probe.send(message(kProbeId, MSG_SELECT_1, kTestType, &frame));
        ASSERT_TRUE(probe.waitFor(ProbeEntry::Write, 2));
        core.stop();
        EXPECT_GE(allocator.liveBlocks(), 1);
    }
    EXPECT_EQ(allocator.liveBlocks(), 0);
}

}  // namespace

namespace {

// A reader worker whose previous answer is still held (here by a plugin that
// retains it for good) waits to send its next one. Once the fan-out has
// stopped nothing frees that answer, so the stop wakes the reader and
// refuses the answer as one nobody would see; the stop then needs no grace
// period.
TEST_F(CoreLifecycle, StopReleasesAReaderWaitingToSend) {
    constexpr std::uint64_t kReaderId = 0x2001;
    constexpr std::uint64_t kHandle = 7;
    ProbeControl& keeper = subscribedProbe("keeper.so", 0x2002);
    keeper.behaviour.retainWrites = true;
    ProbeControl& reader = probeNamed("reader.so");
    reader.behaviour.info = pluginInfo(kReaderId);
    reader.behaviour.info.readPolling = 1;
    reader.behaviour.info.eventMasks[1] = UINT64_MAX;
    std::mutex lock;
    std::vector<std::int32_t> answers;
    reader.behaviour.onRead = [&](ProbeControl& self, const ReadRequest& request) {
        if (request.handle != kHandle) return;
        const std::string frame(128, 'r');
        for (;;) {
            CoreMessage answer = message(kReaderId, MSG_SELECT_1, kTestType, &frame);
            answer.handle = kHandle;
            const std::int32_t status = self.send(answer);
            std::lock_guard<std::mutex> hold(lock);
            answers.push_back(status);
            if (status != STATUS_OK) return;
        }
    };
    folder.install("probe", "keeper.so");
    folder.install("probe", "reader.so");
    LogCapture log;
    Core core(folder.exePath(), allocator);
    core.start();
    CoreMessage request = message(0, MSG_SELECT_1, kTestType);
    request.handle = kHandle;
    CoreStatus status{sizeof(CoreStatus), 1, 0};
    core.routeMessage(&request, &status);
    // The first answer reaches the keeper; the second waits for it.
    ASSERT_TRUE(keeper.waitFor(ProbeEntry::Write, 1));

    const auto began = std::chrono::steady_clock::now();
    {
        Watchdog watchdog(std::chrono::seconds(60));
        core.stop();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(8))
        << "the stop waited out the grace for the blocked reader";
    EXPECT_EQ(log.countContaining("the stop goes on without it"), 0u);
    std::lock_guard<std::mutex> hold(lock);
    ASSERT_FALSE(answers.empty());
    EXPECT_EQ(answers.back(), STATUS_STOPPING);
}

}  // namespace

namespace {

// Opens once, for every waiter.
class Gate {
public:
    void open() {
        std::lock_guard<std::mutex> hold(lock);
        isOpen = true;
        opened.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> hold(lock);
        opened.wait(hold, [this] { return isOpen; });
    }

private:
    std::mutex lock;
    std::condition_variable opened;
    bool isOpen = false;
};

// A Write that returns only once its plugin is closed would hold the stop
// for ever if the stop waited for the event handler before closing. After
// the grace the plugins are closed, the Write returns, and no plugin gets a
// delivery after its Close.
TEST_F(CoreLifecycle, WriteStuckUntilCloseDoesNotHoldTheStop) {
    Gate closing;
    // The id that heads the table, so that the stuck plugin is called first.
    ProbeControl& stuck = subscribedProbe("stuck.so", 0x60000);
    stuck.behaviour.onWrite = [&](ProbeControl&, const WriteRequest& request) {
        if (request.type == kTestType) closing.wait();
    };
    stuck.behaviour.onClose = [&](ProbeControl&) { closing.open(); };
    ProbeControl& other = subscribedProbe("other.so", 0x3003);
    folder.install("probe", "stuck.so");
    folder.install("probe", "other.so");
    LogCapture log;
    Core core(folder.exePath(), allocator);
    core.setCallGrace(std::chrono::seconds(1));
    core.start();
    const std::string frame(32, 's');
    stuck.send(message(0x60000, MSG_SELECT_1, kTestType, &frame));
    ASSERT_TRUE(stuck.waitFor(ProbeEntry::Write, 1));
    stuck.send(message(0x60000, MSG_SELECT_1, kTestType, &frame));

    {
        Watchdog watchdog(std::chrono::seconds(30));
        core.stop();
    }
    EXPECT_TRUE(log.contains(wxLOG_Warning, "plugin stuck.so has been in Write for 1 seconds; the "
                                            "stop closes the plugins without waiting for it"));
    EXPECT_EQ(writesOfType(other, kTestType), 0u) << "a plugin got an event after the stop began";
    EXPECT_EQ(other.count(ProbeEntry::Close), 1u);
    EXPECT_EQ(stuck.count(ProbeEntry::Unload), 1u);
    EXPECT_EQ(allocator.liveBlocks(), 0);
}

// The stop does not wait for a backlog: what was queued is handed out for a
// moment, the rest is discarded and counted, so a steady flood cannot hold
// the stop.
TEST_F(CoreLifecycle, StopHandsOutTheBacklogForAMomentAndDiscardsTheRest) {
    ProbeControl& slow = subscribedProbe("slow.so", 0x4004);
    slow.behaviour.onWrite = [](ProbeControl&, const WriteRequest& request) {
        if (request.type == kTestType) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    };
    folder.install("probe", "slow.so");
    LogCapture log;
    Core core(folder.exePath(), allocator);
    core.setCallGrace(std::chrono::seconds(1));
    core.start();
    const std::string frame(16, 'w');
    // Far more than the stop hands out at 100 ms each.
    constexpr int kEvents = 100;
    for (int i = 0; i < kEvents; ++i) slow.send(message(0x4004, MSG_SELECT_1, kTestType, &frame));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (writesOfType(slow, kTestType) == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    core.stop();
    const std::size_t delivered = writesOfType(slow, kTestType);
    EXPECT_LT(delivered, static_cast<std::size_t>(kEvents));
    // The core's own notices of its start may have been queued among them.
    std::size_t discarded = 0;
    for (const CapturedRecord& record : log.records()) {
        const std::size_t at = record.text.find(" queued events were discarded at stop");
        if (at != std::string::npos) discarded = std::stoul(record.text.substr(0, at));
    }
    EXPECT_GE(discarded, kEvents - delivered);
    EXPECT_EQ(log.countContaining("the stop closes the plugins"), 0u);
    EXPECT_EQ(allocator.liveBlocks(), 0);
}

}  // namespace

namespace {

// A plugin whose own thread goes on sending after its Close, until its
// Unload ends it, as a plugin that stops its threads late does. Everything
// accepted before the stop is delivered; what it sends later is refused as
// nobody would see it, reaches no plugin that is closing, and the stop ends.
TEST_F(CoreLifecycle, PluginSendingAfterItsCloseDoesNotHoldOrBreakTheStop) {
    constexpr std::uint64_t kLateId = 0x5005;
    constexpr std::uint64_t kLateType = 0x55;
    constexpr int kBeforeStop = 20;
    ProbeControl& sink = subscribedProbe("sink.so", 0x5006);
    ProbeControl& late = probeNamed("late.so");
    late.behaviour.info = pluginInfo(kLateId);
    std::atomic<bool> unloading{false};
    std::atomic<long> lateSends{0};
    std::atomic<long> lateRefusals{0};
    std::thread sender;
    const std::string frame(48, 'l');
    late.behaviour.onClose = [&](ProbeControl& self) {
        sender = std::thread([&] {
            // At least a hundred, however soon the Unload comes.
            while (!unloading || lateSends < 100) {
                const std::int32_t code =
                    self.send(message(kLateId, MSG_SELECT_1, kLateType, &frame));
                if (code != STATUS_STOPPING) ++lateRefusals;
                ++lateSends;
                std::this_thread::yield();
            }
        });
    };
    late.behaviour.onUnload = [&](ProbeControl&) {
        unloading = true;
        sender.join();
    };
    folder.install("probe", "sink.so");
    folder.install("probe", "late.so");
    {
        Core core(folder.exePath(), allocator);
        core.start();
        for (int i = 0; i < kBeforeStop; ++i) {
            late.send(message(kLateId, MSG_SELECT_1, kTestType, &frame));
        }
        // The stop discards a backlog; this test is about what comes after.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (writesOfType(sink, kTestType) < kBeforeStop &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        {
            Watchdog watchdog(std::chrono::seconds(60));
            core.stop();
        }
        EXPECT_EQ(writesOfType(sink, kTestType), static_cast<std::size_t>(kBeforeStop));
        const std::uint64_t sinkClosed = sink.callsOf(ProbeEntry::Close).front().order;
        for (const ProbeCall& call : sink.callsOf(ProbeEntry::Write)) {
            EXPECT_LT(call.order, sinkClosed) << "a delivery after the plugin's Close";
        }
    }
    EXPECT_GT(lateSends.load(), 0);
    EXPECT_EQ(lateRefusals.load(), 0);
    EXPECT_EQ(allocator.liveBlocks(), 0);
}

}  // namespace
