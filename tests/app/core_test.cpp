// The Core's start and stop sequences, with real plugin libraries loaded by
// the real loader.

#include "app/core.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
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
    EXPECT_FALSE(core.eventHandlerThread);
    EXPECT_FALSE(core.schedulerThread);
}

TEST_F(CoreLifecycle, StartsWithoutPluginsDirectoryAndStopsTwice) {
    TempDir bare;
    WorkingDirectory inBare(bare.path());
    Core core(wxFileName(bare / "tessard"), allocator);
    EXPECT_TRUE(core.start());
    EXPECT_TRUE(core.eventHandlerThread);
    EXPECT_TRUE(core.schedulerThread);
    EXPECT_TRUE(fileExists(bare / "plugins.xml"));
    EXPECT_EQ(core.plugins.size(), 0u);

    auto stopping = std::async(std::launch::async, [&] { core.stop(); });
    ASSERT_EQ(stopping.wait_for(std::chrono::seconds(20)), std::future_status::ready)
        << "stop did not return: a thread blocked in its wait was not woken";
    EXPECT_FALSE(core.eventHandlerThread);
    EXPECT_FALSE(core.schedulerThread);
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

// Events queued once the event handler has ended (here by a plugin's Close)
// are freed at stop and reach nobody.
TEST_F(CoreLifecycle, StopDiscardsWhatIsStillQueued) {
    ProbeControl& probe = subscribedProbe("probe.so", kProbeId);
    const std::string frame(1000, 'x');
    probe.behaviour.onClose = [&](ProbeControl& self) {
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(self.send(message(kProbeId, MSG_SELECT_1, kTestType, &frame)), STATUS_OK);
        }
    };
    folder.install("probe", "probe.so");
    Core core(folder.exePath(), allocator);
    core.start();
    core.stop();
    EXPECT_EQ(probe.count(ProbeEntry::Close), 1u);
    EXPECT_EQ(writesOfType(probe, kTestType), 0u);
    EXPECT_EQ(allocator.liveBlocks(), 0);
    EXPECT_TRUE(core.eventQueue.empty());
}

// A plugin thread may still send after the Core stopped; the message is
// accepted, touches nothing freed, and the destructor frees it.
TEST_F(CoreLifecycle, MessageSentAfterStopIsFreedByTheDestructor) {
    const std::string frame(64, 'y');
    {
        Core core(folder.exePath(), allocator);
        core.start();
        core.stop();
        const CoreMessage late = message(kProbeId, MSG_SELECT_1, kTestType, &frame);
        CoreStatus status{sizeof(CoreStatus), 1, 0};
        EXPECT_EQ(coreCallback(&late, &status), 0);
        EXPECT_EQ(status.code, STATUS_OK);
        EXPECT_EQ(allocator.liveBlocks(), 1);
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
// refuses its further answers; the stop then needs no grace period.
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

    auto stopping = std::async(std::launch::async, [&] { core.stop(); });
    ASSERT_EQ(stopping.wait_for(std::chrono::seconds(8)), std::future_status::ready)
        << "the stop waited for the blocked reader";
    EXPECT_EQ(log.countContaining("still runs a call"), 0u);
    std::lock_guard<std::mutex> hold(lock);
    ASSERT_FALSE(answers.empty());
    EXPECT_EQ(answers.back(), STATUS_CANCELLED);
}

}  // namespace
