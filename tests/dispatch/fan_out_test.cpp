// The fan-out: which plugin receives a queued event, by which entry point,
// with which records, and who holds the shared payload when. The plugins are
// probe copies loaded by the real loader. Most tests hand the queued events
// to the plugins on the test thread, as the event handler thread would, so
// that every delivery has happened when the test looks; the ordering test
// runs the real event handler thread.

#include "app/core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include "bus_harness.h"
#include "log_capture.h"

namespace {

using namespace bus_harness;
using namespace std::chrono_literals;

constexpr std::uint64_t kSenderId = 0xF1;
constexpr std::uint64_t kWriterId = 0xF2;
constexpr std::uint64_t kSilentId = 0xF3;
constexpr std::uint64_t kReaderId = 0xF4;
// The plugin with this id heads the table, whatever the directory order.
constexpr std::uint64_t kFirstId = 0x60000;
constexpr std::uint64_t kFrameType = 0x77;
constexpr std::uint64_t kFollowUpType = 0x78;

// A plugin with no masks that takes no Write.
PluginInfo silentInfo(std::uint64_t id) { return pluginInfo(id); }

std::size_t holdsOn(Core& core, const void* payload) {
    return core.router().payloads().holders().holdsOn(reinterpret_cast<std::uintptr_t>(payload));
}

class FanOut : public MessagePathTest {
protected:
    // The sender takes Writes selected by MSG_SELECT_1; the writer takes
    // every selected event; the silent plugin takes no Write at all.
    void loadTrio() {
        sender = &addProbe("sender.so", writerOn(kSenderId, 1));
        writer = &addProbe("writer.so", infoWithMasks(kWriterId, UINT64_MAX, true));
        silent = &addProbe("silent.so", silentInfo(kSilentId));
        load();
    }

    // Sends `bytes` from `from` and hands it to the plugins.
    void deliver(ProbeControl& from, std::uint64_t source, std::uint64_t flags,
                 const std::string& bytes, std::uint64_t type = kFrameType) {
        EXPECT_EQ(from.send(message(source, flags, type, &bytes)), STATUS_OK);
        dispatch();
    }

    ProbeControl* sender = nullptr;
    ProbeControl* writer = nullptr;
    ProbeControl* silent = nullptr;
};

// ---- Delivery rules ---------------------------------------------------------

TEST_F(FanOut, ToOthersReachesEveryoneButTheSenderByIoctl) {
    loadTrio();
    deliver(*sender, kSenderId, MSG_TO_OTHERS, "to others");
    for (ProbeControl* other : {writer, silent}) {
        const std::vector<ProbeCall> got = ioctlsCarrying(*other, "to others");
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].ioctl.code, static_cast<std::uint32_t>(IOCTL_TO_OTHERS));
    }
    EXPECT_EQ(ioctlsCarrying(*sender, "to others").size(), 0u);
    EXPECT_EQ(writesOfType(*writer, kFrameType).size(), 0u) << "a broadcast also went by Write";

    // The sender is judged by the Write rule: it subscribes to entry 1.
    deliver(*sender, kSenderId, MSG_TO_OTHERS | MSG_SELECT_1, "and selected");
    EXPECT_EQ(ioctlsCarrying(*sender, "and selected").size(), 0u);
    ASSERT_EQ(writesOfType(*sender, kFrameType).size(), 1u);
    EXPECT_EQ(writesOfType(*sender, kFrameType)[0].payload, "and selected");
    EXPECT_EQ(ioctlsCarrying(*writer, "and selected").size(), 1u);
    EXPECT_EQ(writesOfType(*writer, kFrameType).size(), 0u);

    // The silent plugin as sender: its masks do not cover, it takes nothing.
    deliver(*silent, kSilentId, MSG_TO_OTHERS | MSG_SELECT_1, "from silent");
    EXPECT_EQ(ioctlsCarrying(*silent, "from silent").size(), 0u);
    EXPECT_EQ(silent->count(ProbeEntry::Write), 0u);
    EXPECT_EQ(ioctlsCarrying(*sender, "from silent").size(), 1u);
}

TEST_F(FanOut, ToOthersWithToAllGivesTheSenderCodeThree) {
    loadTrio();
    deliver(*sender, kSenderId, MSG_TO_OTHERS | MSG_TO_ALL | MSG_SELECT_1, "both");
    const std::vector<ProbeCall> own = ioctlsCarrying(*sender, "both");
    ASSERT_EQ(own.size(), 1u);
    EXPECT_EQ(own[0].ioctl.code, static_cast<std::uint32_t>(IOCTL_TO_ALL));
    EXPECT_EQ(writesOfType(*sender, kFrameType).size(), 0u);
    for (ProbeControl* other : {writer, silent}) {
        const std::vector<ProbeCall> got = ioctlsCarrying(*other, "both");
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].ioctl.code, static_cast<std::uint32_t>(IOCTL_TO_OTHERS));
    }
}

TEST_F(FanOut, ToAllReachesEveryPluginWhateverItsMasks) {
    loadTrio();
    deliver(*sender, kSenderId, MSG_TO_ALL | MSG_SELECT_1, "to all");
    CoreMessage fromCore = message(CORE_ID, MSG_TO_ALL, kFrameType);
    const std::string notice = "from the core";
    fromCore.payload = notice.data();
    fromCore.length = notice.size();
    EXPECT_EQ(route(fromCore), STATUS_OK);
    dispatch();
    for (ProbeControl* plugin : {sender, writer, silent}) {
        for (const std::string& payload : {std::string("to all"), notice}) {
            const std::vector<ProbeCall> got = ioctlsCarrying(*plugin, payload);
            ASSERT_EQ(got.size(), 1u) << payload;
            EXPECT_EQ(got[0].ioctl.code, static_cast<std::uint32_t>(IOCTL_TO_ALL));
        }
        EXPECT_EQ(writesOfType(*plugin, kFrameType).size(), 0u);
    }
}

TEST_F(FanOut, WriteNeedsWriteEventsAndACoveringSelectedMask) {
    ProbeControl& onTwo = addProbe("on_two.so", writerOn(0x21, 2));
    PluginInfo notWriting = writerOn(0x22, 2);
    notWriting.writeEvents = 0;
    ProbeControl& noWrites = addProbe("no_writes.so", notWriting);
    ProbeControl& onThree = addProbe("on_three.so", writerOn(0x23, 3));
    // 0x70 lacks bits 0x1, 0x2 and 0x4 of the key 0x77.
    ProbeControl& partial = addProbe("partial.so", writerOn(0x24, 2, 0x70));
    load();
    deliver(onTwo, 0x21, MSG_SELECT_2, "selected two");
    EXPECT_EQ(writesOfType(onTwo, kFrameType).size(), 1u);
    for (ProbeControl* other : {&noWrites, &onThree, &partial}) {
        EXPECT_EQ(writesOfType(*other, kFrameType).size(), 0u);
        EXPECT_EQ(ioctlsCarrying(*other, "selected two").size(), 0u);
    }
}

TEST_F(FanOut, EachSelectionBitPicksItsOwnMaskEntryOnce) {
    const std::uint64_t bits[9] = {MSG_SELECT_0, MSG_SELECT_1, MSG_SELECT_2,
                                   MSG_SELECT_3, MSG_SELECT_4, MSG_SELECT_5,
                                   MSG_SELECT_6, MSG_SELECT_7, MSG_SELECT_8};
    std::vector<ProbeControl*> writers;
    for (int entry = 0; entry < 9; ++entry) {
        writers.push_back(
            &addProbe("entry" + std::to_string(entry) + ".so", writerOn(0x30 + entry, entry)));
    }
    load();
    for (int entry = 0; entry < 9; ++entry) {
        deliver(*writers[0], 0x30, bits[entry], "bit " + std::to_string(entry));
    }
    deliver(*writers[0], 0x30, MSG_SELECT_2 | MSG_SELECT_5 | MSG_SELECT_8, "three bits");
    for (int entry = 0; entry < 9; ++entry) {
        const std::vector<ProbeCall> got = writesOfType(*writers[entry], kFrameType);
        std::vector<std::string> payloads;
        for (const ProbeCall& call : got) payloads.push_back(call.payload);
        std::vector<std::string> expected = {"bit " + std::to_string(entry)};
        if (entry == 2 || entry == 5 || entry == 8) expected.push_back("three bits");
        EXPECT_EQ(payloads, expected) << "entry " << entry;
    }
}

TEST_F(FanOut, TypeZeroIsCoveredByEveryMask) {
    ProbeControl& zeroMasks = addProbe("zero_masks.so", writerOn(0x41, 4, 0));
    ProbeControl& notWriting = addProbe("not_writing.so", silentInfo(0x42));
    load();
    deliver(zeroMasks, 0x41, MSG_SELECT_4, "key zero", 0);
    ASSERT_EQ(writesOfType(zeroMasks, 0).size(), 1u);
    EXPECT_EQ(writesOfType(zeroMasks, 0)[0].payload, "key zero");
    EXPECT_EQ(notWriting.count(ProbeEntry::Write), 0u);
}

TEST_F(FanOut, NoSelectionAndNoBroadcastReachesNobody) {
    loadTrio();
    ProbeControl* all[] = {sender, writer, silent};
    std::size_t before[3];
    for (int i = 0; i < 3; ++i) before[i] = all[i]->calls().size();
    // Type 0 would be covered by any mask that were selected.
    for (std::uint64_t flags : {UINT64_C(0), MSG_CANCEL, UINT64_C(0x2000), MSG_RELEASE | 0x2000}) {
        deliver(*sender, kSenderId, flags, "nobody", 0);
    }
    for (int i = 0; i < 3; ++i) EXPECT_EQ(all[i]->calls().size(), before[i]) << i;
    EXPECT_EQ(allocator.liveBlocks(), 0) << "an undelivered event kept its buffer";
}

// The event handler moves the class bits one place up, the router's read
// requests one place down: the same type reaches different masks.
TEST_F(FanOut, DeliveryKeyFoldsClassBitsUpUnlikeTheReadKey) {
    auto both = [](std::uint64_t id, std::uint64_t mask) {
        PluginInfo info = writerOn(id, 2, mask);
        info.readPolling = 1;
        return info;
    };
    ProbeControl& up = addProbe("up.so", both(0x51, 0x2000010));
    ProbeControl& same = addProbe("same.so", both(0x52, 0x1000010));
    ProbeControl& down = addProbe("down.so", both(0x53, 0x800010));
    ProbeControl& topDropped = addProbe("top_dropped.so", writerOn(0x54, 3, 0x5));
    ProbeControl& topMoved = addProbe("top_moved.so", writerOn(0x55, 3, 0x8000000000000001));
    ProbeControl& topKept = addProbe("top_kept.so", writerOn(0x56, 3, 0x4000000000000001));
    load();

    deliver(up, 0x51, MSG_SELECT_2, "xml", MSG_TYPE_XML);
    EXPECT_EQ(writesOfType(up, MSG_TYPE_XML).size(), 1u);
    EXPECT_EQ(writesOfType(same, MSG_TYPE_XML).size(), 0u);
    EXPECT_EQ(writesOfType(down, MSG_TYPE_XML).size(), 0u);
    EXPECT_EQ(route(readRequest(0x5A, MSG_SELECT_2, MSG_TYPE_XML)), STATUS_OK);
    ASSERT_TRUE(workersDone());
    EXPECT_EQ(readsFor(up, 0x5A).size(), 0u);
    EXPECT_EQ(readsFor(same, 0x5A).size(), 0u);
    EXPECT_EQ(readsFor(down, 0x5A).size(), 1u);

    // Bit 63 of the type falls off; bit 62 becomes bit 63.
    deliver(up, 0x51, MSG_SELECT_3, "bit 63", 0x8000000000000005);
    deliver(up, 0x51, MSG_SELECT_3, "bit 62", 0x4000000000000001);
    EXPECT_EQ(writesOfType(topDropped, 0x8000000000000005).size(), 1u);
    EXPECT_EQ(writesOfType(topMoved, 0x4000000000000001).size(), 1u);
    EXPECT_EQ(writesOfType(topKept, 0x4000000000000001).size(), 0u);
}

// ---- Records as a plugin sees them ---------------------------------------------

TEST_F(FanOut, WriteRequestCarriesTheEventUnchanged) {
    PluginInfo readerInfo = pluginInfo(kReaderId);
    readerInfo.eventMasks[2] = UINT64_MAX;
    readerInfo.readPolling = 1;
    ProbeControl& reader = addProbe("reader.so", readerInfo);
    const std::string bytes = "frame bytes";
    constexpr std::uint64_t kType = 0x3000042;  // class bits 0x3000000
    constexpr std::uint64_t kFlags = MSG_SELECT_1 | MSG_SELECT_3;
    auto sent = std::make_shared<CoreMessage>(message(kReaderId, kFlags, kType));
    for (std::size_t i = 0; i < sizeof sent->extra; ++i) {
        sent->extra[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    reader.behaviour.onRead = [sent, bytes](ProbeControl& self, const ReadRequest& request) {
        CoreMessage reply = *sent;
        reply.handle = request.handle;
        reply.payload = bytes.data();
        reply.length = bytes.size();
        self.send(reply);
    };
    ProbeControl& writer = addProbe("writer.so", writerOn(kWriterId, 1));
    load();

    EXPECT_EQ(route(readRequest(0x99, MSG_SELECT_2, kFrameType)), STATUS_OK);
    ASSERT_TRUE(workersDone());
    dispatch();
    const std::vector<ProbeCall> got = writesOfType(writer, kType);
    ASSERT_EQ(got.size(), 1u);
    const WriteRequest& request = got[0].write;
    EXPECT_EQ(request.size, 232u);
    EXPECT_EQ(request.version, 1u);
    EXPECT_EQ(request.reserved0, 0u);
    EXPECT_EQ(request.onWorker, 0u);
    EXPECT_EQ(request.length, bytes.size());
    EXPECT_NE(request.payload, nullptr);
    EXPECT_NE(request.payload, bytes.data());
    EXPECT_EQ(got[0].payload, bytes);
    EXPECT_EQ(request.source, kReaderId);
    EXPECT_EQ(request.handle, 0x99u);
    EXPECT_EQ(request.flags, kFlags);
    EXPECT_EQ(request.type, kType) << "the type was folded";
    EXPECT_EQ(0, std::memcmp(request.extra, sent->extra, sizeof request.extra));
    const WriteReply& reply = got[0].writeReply;
    EXPECT_EQ(reply.size, 32u);
    EXPECT_EQ(reply.version, 1u);
    EXPECT_EQ(std::count(reply.reserved, reply.reserved + sizeof reply.reserved, 0),
              static_cast<long>(sizeof reply.reserved));
    EXPECT_EQ(reply.retain, 0u);
}

TEST_F(FanOut, IoctlRequestCarriesAPayloadReference) {
    loadTrio();
    deliver(*sender, kSenderId, MSG_TO_OTHERS | MSG_TO_ALL, "broadcast");
    struct Expected {
        ProbeControl* plugin;
        std::uint32_t code;
    };
    for (const Expected& expected : {Expected{writer, IOCTL_TO_OTHERS}, Expected{sender, IOCTL_TO_ALL}}) {
        const std::vector<ProbeCall> got = ioctlsCarrying(*expected.plugin, "broadcast");
        ASSERT_EQ(got.size(), 1u);
        const IoctlRequest& request = got[0].ioctl;
        EXPECT_EQ(request.size, 40u);
        EXPECT_EQ(request.version, 1u);
        EXPECT_EQ(request.code, expected.code);
        EXPECT_EQ(request.payloadRef.size, 24u);
        EXPECT_EQ(request.payloadRef.version, 1u);
        EXPECT_EQ(request.payloadRef.length, 9u);
        EXPECT_NE(request.payloadRef.payload, nullptr);
        const IoctlReply& reply = got[0].ioctlReply;
        EXPECT_EQ(reply.size, 28u);
        EXPECT_EQ(reply.version, 1u);
        EXPECT_EQ(reply.code, expected.code);
        EXPECT_EQ(reply.reserved, 0u);
        EXPECT_EQ(reply.retain, 0u);
        EXPECT_EQ(reply.empty.size, 8u);
        EXPECT_EQ(reply.empty.version, 1u);
    }
}

// ---- Holding the payload -------------------------------------------------------------

TEST_F(FanOut, RetainedPayloadKeepsOneHolderUntilItsRelease) {
    struct Reader {
        Gate firstSent, secondSent;
        std::atomic<std::int32_t> second{-2};
    };
    auto reader = std::make_shared<Reader>();
    PluginInfo readerInfo = pluginInfo(kReaderId);
    readerInfo.eventMasks[2] = UINT64_MAX;
    readerInfo.readPolling = 1;
    ProbeControl& readerProbe = addProbe("reader.so", readerInfo);
    readerProbe.behaviour.onRead = [reader](ProbeControl& self, const ReadRequest& request) {
        const std::string one = "first", two = "second";
        CoreMessage reply = message(kReaderId, MSG_SELECT_1, kFrameType, &one);
        reply.handle = request.handle;
        self.send(reply);
        reader->firstSent.open();
        reply.payload = two.data();
        reply.length = two.size();
        reader->second = self.send(reply);
        reader->secondSent.open();
    };
    ProbeControl& keeper = addProbe("keeper.so", writerOn(kWriterId, 1));
    keeper.behaviour.retainWrites = true;
    auto heldDuringCall = std::make_shared<std::atomic<std::size_t>>(0);
    Core* const target = core.get();
    keeper.behaviour.onWrite = [heldDuringCall, target](ProbeControl&, const WriteRequest& request) {
        *heldDuringCall = holdsOn(*target, request.payload);
    };
    ProbeControl& passer = addProbe("passer.so", writerOn(kSilentId, 1));
    load();

    EXPECT_EQ(route(readRequest(0x71, MSG_SELECT_2, kFrameType)), STATUS_OK);
    ASSERT_TRUE(reader->firstSent.wait());
    dispatch();
    ASSERT_EQ(writesOfType(keeper, kFrameType).size(), 1u);
    EXPECT_EQ(writesOfType(passer, kFrameType).size(), 1u);
    const void* first = writesOfType(keeper, kFrameType)[0].write.payload;
    // During its call the keeper and the dispatcher held it; after the pass
    // only the keeper does.
    EXPECT_GE(heldDuringCall->load(), 2u);
    EXPECT_EQ(core->router().payloads().holders().size(), 1u);
    EXPECT_EQ(holdsOn(*core, first), 1u);
    EXPECT_EQ(route(release(kSilentId, first)), STATUS_OK);
    EXPECT_EQ(holdsOn(*core, first), 1u) << "a plugin that kept nothing released the keeper's hold";
    EXPECT_FALSE(reader->secondSent.wait(300ms)) << "the reader went on while its answer was kept";

    std::thread([&] { EXPECT_EQ(keeper.send(release(kWriterId, first)), STATUS_OK); }).join();
    EXPECT_EQ(holdsOn(*core, first), 0u);
    ASSERT_TRUE(reader->secondSent.wait()) << "the release did not post the reader's slot";
    EXPECT_EQ(reader->second.load(), STATUS_OK);
    dispatch();
    ASSERT_EQ(writesOfType(keeper, kFrameType).size(), 2u);
    EXPECT_EQ(route(release(kWriterId, writesOfType(keeper, kFrameType)[1].write.payload)),
              STATUS_OK);
    ASSERT_TRUE(workersDone());
    EXPECT_EQ(allocator.liveBlocks(), 0);
    EXPECT_EQ(core->router().payloads().holders().size(), 0u);
}

// The dispatcher's own hold keeps the buffer for the plugins after one that
// gives its hold back before its call has even returned.
TEST_F(FanOut, EarlyReleaseCannotFreeTheBufferDuringThePass) {
    ProbeControl& first = addProbe("first.so", writerOn(kFirstId, 1));
    first.behaviour.retainWrites = true;
    first.behaviour.onWrite = [](ProbeControl& self, const WriteRequest& request) {
        std::thread([&] { self.send(release(kFirstId, request.payload)); }).join();
    };
    ProbeControl& later = addProbe("later.so", writerOn(kWriterId, 1));
    load();
    ASSERT_EQ(recordOf("first.so").info.id, (*core->plugins().snapshot())[0].info.id);

    deliver(later, kWriterId, MSG_SELECT_1, "still here");
    ASSERT_EQ(writesOfType(later, kFrameType).size(), 1u);
    EXPECT_EQ(writesOfType(later, kFrameType)[0].payload, "still here");
    EXPECT_EQ(allocator.liveBlocks(), 0);
    EXPECT_EQ(core->router().payloads().holders().size(), 0u);
}

TEST_F(FanOut, OnePayloadIsSharedByEveryReceiver) {
    loadTrio();
    const long copiesBefore = allocator.totalBlocks();
    deliver(*sender, kSenderId, MSG_TO_OTHERS | MSG_SELECT_1, "shared");
    const std::vector<ProbeCall> own = writesOfType(*sender, kFrameType);
    const std::vector<ProbeCall> writers = ioctlsCarrying(*writer, "shared");
    const std::vector<ProbeCall> silents = ioctlsCarrying(*silent, "shared");
    ASSERT_EQ(own.size(), 1u);
    ASSERT_EQ(writers.size(), 1u);
    ASSERT_EQ(silents.size(), 1u);
    EXPECT_EQ(writers[0].ioctl.payloadRef.payload, own[0].write.payload);
    EXPECT_EQ(silents[0].ioctl.payloadRef.payload, own[0].write.payload);
    EXPECT_EQ(allocator.totalBlocks() - copiesBefore, 1);
}

TEST_F(FanOut, EventWithoutPayloadStoresNoHolder) {
    ProbeControl& keeper = addProbe("keeper.so", writerOn(kWriterId, 1));
    keeper.behaviour.retainWrites = true;
    auto holdersDuringCall = std::make_shared<std::atomic<std::size_t>>(99);
    Core* const target = core.get();
    keeper.behaviour.onWrite = [holdersDuringCall, target](ProbeControl&, const WriteRequest&) {
        *holdersDuringCall = target->router().payloads().holders().size();
    };
    ProbeControl& other = addProbe("other.so", writerOn(kSilentId, 1));
    load();
    // Set only now, so that the status notice of the load is not kept.
    keeper.behaviour.retainIoctls = true;
    const long copiesBefore = allocator.totalBlocks();

    const std::string empty;
    CoreMessage lengthZero = message(kSilentId, MSG_SELECT_1, kFrameType);
    lengthZero.payload = empty.data();
    EXPECT_EQ(other.send(message(kSilentId, MSG_SELECT_1, kFrameType)), STATUS_OK);
    EXPECT_EQ(other.send(lengthZero), STATUS_OK);
    EXPECT_EQ(other.send(message(kSilentId, MSG_TO_ALL, kFrameType)), STATUS_OK);
    dispatch();
    EXPECT_EQ(holdersDuringCall->load(), 0u);
    EXPECT_EQ(core->router().payloads().holders().size(), 0u);
    EXPECT_EQ(allocator.totalBlocks(), copiesBefore);
    for (ProbeControl* plugin : {&keeper, &other}) {
        const std::vector<ProbeCall> writes = writesOfType(*plugin, kFrameType);
        ASSERT_EQ(writes.size(), 2u);
        for (const ProbeCall& call : writes) {
            EXPECT_EQ(call.write.payload, nullptr);
            EXPECT_EQ(call.write.length, 0u);
        }
        const std::vector<ProbeCall> ioctls = ioctlsCarrying(*plugin, "");
        ASSERT_EQ(ioctls.size(), 1u);
        EXPECT_EQ(ioctls[0].ioctl.payloadRef.payload, nullptr);
        EXPECT_EQ(ioctls[0].ioctl.payloadRef.length, 0u);
    }
}

// ---- Order --------------------------------------------------------------------------

// With the real event handler thread: every event reaches every plugin, in
// table order, before the next event; events go in the order they were sent.
TEST_F(FanOut, EventsGoToAllPluginsInTableOrderOneAfterAnother) {
    std::vector<ProbeControl*> writers;
    for (int i = 0; i < 3; ++i) {
        writers.push_back(&addProbe("writer" + std::to_string(i) + ".so", writerOn(0x80 + i, 1)));
    }
    start();
    constexpr int kEvents = 20;
    std::thread([&] {
        for (int n = 0; n < kEvents; ++n) {
            const std::string bytes = "event " + std::to_string(n);
            EXPECT_EQ(writers[1]->send(message(0x81, MSG_SELECT_1, kFrameType, &bytes)), STATUS_OK);
        }
    }).join();
    for (ProbeControl* probe : writers) {
        ASSERT_TRUE(waitUntil([&] { return writesOfType(*probe, kFrameType).size() >= kEvents; }));
    }

    // The probes in table order.
    std::vector<ProbeControl*> inTable;
    const PluginTable::Snapshot table = core->plugins().snapshot();
    for (const PluginRecord& plugin : *table) {
        inTable.push_back(writers[plugin.info.id - 0x80]);
    }
    std::uint64_t previous = 0;
    for (int n = 0; n < kEvents; ++n) {
        for (ProbeControl* probe : inTable) {
            const ProbeCall call = writesOfType(*probe, kFrameType)[n];
            EXPECT_EQ(call.payload, "event " + std::to_string(n));
            EXPECT_GT(call.order, previous) << "event " << n << " out of order";
            previous = call.order;
        }
    }
}

TEST_F(FanOut, MessageSentFromInsideWriteGoesOutInTheSameDrain) {
    ProbeControl& relay = addProbe("relay.so", writerOn(kWriterId, 1));
    relay.behaviour.onWrite = [](ProbeControl& self, const WriteRequest& request) {
        if (request.type != kFrameType) return;
        const std::string bytes = "follow-up";
        EXPECT_EQ(self.send(message(kWriterId, MSG_SELECT_1, kFollowUpType, &bytes)), STATUS_OK);
    };
    ProbeControl& watcher = addProbe("watcher.so", writerOn(kSilentId, 1));
    load();
    deliver(watcher, kSilentId, MSG_SELECT_1, "frame");
    for (ProbeControl* plugin : {&relay, &watcher}) {
        ASSERT_EQ(writesOfType(*plugin, kFrameType).size(), 1u);
        ASSERT_EQ(writesOfType(*plugin, kFollowUpType).size(), 1u) << "not in the same drain";
    }
    const std::uint64_t lastFrame = std::max(writesOfType(relay, kFrameType)[0].order,
                                             writesOfType(watcher, kFrameType)[0].order);
    EXPECT_GT(writesOfType(relay, kFollowUpType)[0].order, lastFrame);
    EXPECT_GT(writesOfType(watcher, kFollowUpType)[0].order, lastFrame);
    EXPECT_TRUE(core->router().events().empty());
}

// ---- Plugins the fan-out must pass by --------------------------------------------------

// The plugin asks for Writes and takes every broadcast, but exports neither
// Write nor IOCTL: its deliveries are skipped, and that was said once, when
// it was loaded.
TEST_F(FanOut, MissingEntryPointsAreSkippedAndReportedOnceAtLoad) {
    LogCapture log;
    folder.install("bus_lacking", "bus_lacking.so");
    ProbeControl& writer = addProbe("writer.so", infoWithMasks(kWriterId, UINT64_MAX, true));
    load();
    for (std::uint64_t flags : {MSG_SELECT_1, MSG_TO_OTHERS, MSG_TO_ALL, MSG_SELECT_8}) {
        deliver(writer, kWriterId, flags, "frame");
    }
    EXPECT_EQ(writesOfType(writer, kFrameType).size(), 2u);
    EXPECT_EQ(ioctlsCarrying(writer, "frame").size(), 1u);
    EXPECT_EQ(core->router().payloads().holders().size(), 0u);
    EXPECT_EQ(allocator.liveBlocks(), 0);
    EXPECT_EQ(log.countContaining("bus_lacking.so does not export Read, Write, IOCTL"), 1u);
    EXPECT_EQ(log.countContaining("does not export"), 1u);
}

TEST_F(FanOut, RecordWithoutLibraryIsPassedBy) {
    ProbeControl& writer = addProbe("writer.so", writerOn(kWriterId, 1));
    load();
    const PluginTable::Records original = core->plugins().records().edit();
    PluginTable::Records withHole = original;
    PluginRecord hole = withHole[0];
    hole.library.reset();
    withHole.push_back(hole);
    core->plugins().records().publish(withHole);
    deliver(writer, kWriterId, MSG_SELECT_1 | MSG_TO_ALL, "frame");
    core->plugins().records().publish(original);
    EXPECT_EQ(ioctlsCarrying(writer, "frame").size(), 1u);
}

}  // namespace
