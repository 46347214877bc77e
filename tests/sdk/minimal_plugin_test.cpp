// The plugin written in strict C99 against the SDK header alone
// (bus_minimal_plugin.c), loaded by the real loader into a started Core: it
// is accepted with all eight entry points, and its Write, Read and IOCTL
// answer through the callback as a plugin author would expect.

#include <gtest/gtest.h>

#include "bus_harness.h"
#include "log_capture.h"

namespace {

using namespace bus_harness;

// The numbers bus_minimal_plugin.c uses.
constexpr std::uint64_t kMinimalId = 0xB05D0;
constexpr std::uint64_t kPing = 0x5D01;
constexpr std::uint64_t kEcho = 0x5D02;
constexpr std::uint64_t kAnswer = 0x5D03;
constexpr std::uint64_t kHeard = 0x5D04;
constexpr std::uint64_t kObserverId = 0xB05D1;

class MinimalPlugin : public MessagePathTest {
protected:
    void SetUp() override {
        folder.install("bus_minimal_plugin", "bus_minimal_plugin.so");
        PluginInfo info = pluginInfo(kObserverId);
        info.eventMasks[4] = UINT64_MAX;
        info.writeEvents = 1;
        observer = &addProbe("observer.so", info);
        start();
    }

    // Waits for a Write of `type` whose payload satisfies `wanted`.
    template <typename Wanted>
    bool received(std::uint64_t type, Wanted&& wanted) {
        return waitUntil([&] {
            for (const ProbeCall& call : writesOfType(*observer, type)) {
                if (call.write.source == kMinimalId && wanted(call)) return true;
            }
            return false;
        });
    }

    LogCapture log;
    ProbeControl* observer = nullptr;
};

TEST_F(MinimalPlugin, IsAcceptedWithAllEightEntryPoints) {
    const PluginRecord record = recordOf("bus_minimal_plugin.so");
    EXPECT_EQ(record.info.id, kMinimalId);
    const PluginEntryPoints& entries = record.entryPoints;
    for (PluginEntryPoint entry : {entries.Load, entries.Unload, entries.Open, entries.Close,
                                   entries.Read, entries.Write, entries.Seek, entries.IOCTL}) {
        EXPECT_NE(entry, nullptr);
    }
    EXPECT_EQ(record.openCode, 0);
    EXPECT_EQ(log.countContaining("bus_minimal_plugin.so"), 0u) << "the loader complained";
}

TEST_F(MinimalPlugin, EchoesAWrite) {
    const std::string ping = "ping from the observer";
    EXPECT_EQ(observer->send(message(kObserverId, MSG_SELECT_3, kPing, &ping)), STATUS_OK);
    EXPECT_TRUE(received(kEcho, [&](const ProbeCall& call) { return call.payload == ping; }));
}

TEST_F(MinimalPlugin, AnswersAReadRequestForItsHandle) {
    const std::string question = "which stream?";
    EXPECT_EQ(route(readRequest(0x5D, MSG_SELECT_3, kPing, &question)), STATUS_OK);
    EXPECT_TRUE(received(kAnswer, [&](const ProbeCall& call) {
        return call.payload == question && call.write.handle == 0x5D;
    }));
}

TEST_F(MinimalPlugin, HearsBroadcastsThroughIoctl) {
    // The status notice of the start went to every other plugin with code 2.
    EXPECT_TRUE(received(kHeard, [](const ProbeCall& call) {
        return call.payload.rfind(std::string(1, IOCTL_TO_OTHERS) + "<?xml ?><Zelt", 0) == 0;
    }));
    const std::string all = "to everyone";
    EXPECT_EQ(observer->send(message(kObserverId, MSG_TO_ALL, 0x99, &all)), STATUS_OK);
    EXPECT_TRUE(received(kHeard, [&](const ProbeCall& call) {
        return call.payload == std::string(1, IOCTL_TO_ALL) + all;
    }));
}

}  // namespace
