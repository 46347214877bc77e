// The worker threads: a Read or load-time IOCTL call on a thread of its own,
// with private copies of its records and payload, a reply slot for a reader
// that answers a handle, and nothing left behind when it ends. The plugins
// are probe copies loaded by the real loader; the workers are started the
// ways the server starts them (read requests through the router, the
// loader's load-time IOCTL, the scheduler's start-up Read) or through the
// starters themselves.

#include "plugins/plugin_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>

#include "bus_harness.h"

namespace {

using namespace bus_harness;

constexpr std::uint64_t kReaderId = 0x71;
constexpr std::uint64_t kQueryType = 0x66;
constexpr std::uint64_t kAnswerType = 0x55;

CoreMessage answer(std::uint64_t handle, const std::string* payload) {
    CoreMessage reply = message(kReaderId, MSG_SELECT_1, kAnswerType, payload);
    reply.handle = handle;
    return reply;
}

class Workers : public MessagePathTest {
protected:
    ProbeControl& addReader(const std::string& fileName = "reader.so",
                            std::uint64_t id = kReaderId) {
        return addProbe(fileName, readerOn(id, 2));
    }
};

// What a reader saw of its own slot while its Read ran.
struct SlotView {
    std::atomic<long> slots{-1};
    std::atomic<long> liveCopies{-1};
    std::atomic<std::int32_t> ownHandle{-2};
    std::atomic<std::int32_t> otherHandle{-2};
};

TEST_F(Workers, ReadWithoutPayloadMakesNoCopy) {
    ProbeControl& reader = addReader();
    load();
    const long copiesBefore = allocator.totalBlocks();
    const std::string empty;
    EXPECT_EQ(route(readRequest(0x11, MSG_SELECT_2, kQueryType)), STATUS_OK);
    EXPECT_EQ(route(readRequest(0x12, MSG_SELECT_2, kQueryType, &empty)), STATUS_OK);
    ASSERT_TRUE(workersDone());
    EXPECT_EQ(allocator.totalBlocks(), copiesBefore);
    for (std::uint64_t handle : {0x11, 0x12}) {
        const std::vector<ProbeCall> reads = readsFor(reader, handle);
        ASSERT_EQ(reads.size(), 1u);
        EXPECT_EQ(reads[0].read.payload, nullptr);
        EXPECT_EQ(reads[0].read.length, 0u);
    }
}

TEST_F(Workers, SlotOnlyForAReadWithAHandle) {
    ProbeControl& reader = addReader();
    auto withHandle = std::make_shared<SlotView>();
    auto withoutHandle = std::make_shared<SlotView>();
    Core* const target = core.get();
    reader.behaviour.onRead = [=](ProbeControl& self, const ReadRequest& request) {
        SlotView& view = request.handle != 0 ? *withHandle : *withoutHandle;
        view.slots = static_cast<long>(target->router().payloads().slots().slotCount());
        view.ownHandle = request.handle != 0 ? self.send(answer(request.handle, nullptr)) : -3;
        view.otherHandle = self.send(answer(0x5, nullptr));
    };
    load();

    EXPECT_EQ(route(readRequest(0x21, MSG_SELECT_2, kQueryType)), STATUS_OK);
    ASSERT_TRUE(workersDone());
    EXPECT_EQ(withHandle->slots.load(), 1);
    EXPECT_EQ(withHandle->ownHandle.load(), STATUS_OK);
    EXPECT_EQ(core->router().payloads().slots().slotCount(), 0u) << "the slot outlived its worker";

    // The worker the scheduler starts carries no handle.
    PluginRecord record = recordOf("reader.so");
    EXPECT_EQ(startReadWorker(core->router(), record), 1);
    EXPECT_NE(record.readWorker, nullptr);
    ASSERT_TRUE(workersDone());
    EXPECT_EQ(withoutHandle->slots.load(), 0);
    EXPECT_EQ(withoutHandle->otherHandle.load(), STATUS_CANCELLED);
    const std::vector<ProbeCall> reads = readsFor(reader, 0);
    ASSERT_EQ(reads.size(), 1u);
    ReadRequest expected;
    std::memset(&expected, 0, sizeof expected);
    expected.size = 40;
    expected.version = 1;
    expected.onWorker = 1;
    EXPECT_EQ(0, std::memcmp(&reads[0].read, &expected, sizeof expected));
}

// Both readers are inside Read at once; each sends its first payload, which
// with a shared slot would wait for the other's to be freed.
TEST_F(Workers, TwoWorkersOfOnePluginHaveSlotsOfTheirOwn) {
    ProbeControl& reader = addReader();
    struct Pair {
        std::atomic<int> inside{0};
        Gate bothInside, bothSent;
        std::atomic<int> sent{0};
        std::atomic<long> slotsSeen[2] = {{-1}, {-1}};
        std::atomic<std::int32_t> codes[2] = {{-2}, {-2}};
    };
    auto pair = std::make_shared<Pair>();
    Core* const target = core.get();
    reader.behaviour.onRead = [pair, target](ProbeControl& self, const ReadRequest& request) {
        const int me = request.handle == 0x31 ? 0 : 1;
        if (++pair->inside == 2) pair->bothInside.open();
        if (!pair->bothInside.wait()) return;
        pair->slotsSeen[me] = static_cast<long>(target->router().payloads().slots().slotCount());
        const std::string bytes = "answer " + std::to_string(me);
        pair->codes[me] = self.send(answer(request.handle, &bytes));
        // Neither returns, and closes its slot, before both have looked.
        if (++pair->sent == 2) pair->bothSent.open();
        pair->bothSent.wait();
    };
    load();

    EXPECT_EQ(route(readRequest(0x31, MSG_SELECT_2, kQueryType)), STATUS_OK);
    EXPECT_EQ(route(readRequest(0x32, MSG_SELECT_2, kQueryType)), STATUS_OK);
    ASSERT_TRUE(waitUntil([&] { return pair->sent.load() == 2; }))
        << "one reader waited for the other's payload";
    ASSERT_TRUE(workersDone());
    for (int me = 0; me < 2; ++me) {
        EXPECT_EQ(pair->slotsSeen[me].load(), 2) << me;
        EXPECT_EQ(pair->codes[me].load(), STATUS_OK) << me;
    }
    const std::vector<ProbeCall> reads = reader.callsOf(ProbeEntry::Read);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_FALSE(pthread_equal(reads[0].thread, reads[1].thread));
    EXPECT_EQ(core->router().payloads().slots().slotCount(), 0u);
}

TEST_F(Workers, EndedWorkerLeavesNoSlotAndFreesItsCopy) {
    ProbeControl& reader = addReader();
    auto view = std::make_shared<SlotView>();
    Core* const target = core.get();
    CountingAllocator* const counted = &allocator;
    reader.behaviour.onRead = [view, target, counted](ProbeControl&, const ReadRequest&) {
        view->slots = static_cast<long>(target->router().payloads().slots().slotCount());
        view->liveCopies = counted->liveBlocks();
    };
    load();
    const long copiesBefore = allocator.totalBlocks();
    const std::string query = "query";
    EXPECT_EQ(route(readRequest(0x41, MSG_SELECT_2, kQueryType, &query)), STATUS_OK);
    ASSERT_TRUE(workersDone());
    EXPECT_EQ(view->slots.load(), 1);
    EXPECT_EQ(view->liveCopies.load(), 1);
    EXPECT_EQ(allocator.totalBlocks() - copiesBefore, 1);
    EXPECT_EQ(allocator.liveBlocks(), 0);
    EXPECT_EQ(core->router().payloads().slots().slotCount(), 0u);
}

TEST_F(Workers, StarterMayFreeItsPayloadRightAfterTheStart) {
    ProbeControl& reader = addReader();
    struct Seen {
        Gate starterDone;
        std::string bytes;
    };
    auto seen = std::make_shared<Seen>();
    reader.behaviour.onRead = [seen](ProbeControl&, const ReadRequest& request) {
        if (!seen->starterDone.wait()) return;
        seen->bytes.assign(static_cast<const char*>(request.payload), request.length);
    };
    load();
    auto query = std::make_unique<std::string>(64, 'q');
    CoreMessage request = readRequest(0x51, MSG_SELECT_2, kQueryType, query.get());
    EXPECT_EQ(startRequestWorker(core->router(), recordOf("reader.so"), request), 1);
    query->assign(64, '#');
    query.reset();
    seen->starterDone.open();
    ASSERT_TRUE(workersDone());
    EXPECT_EQ(seen->bytes, std::string(64, 'q'));
    ASSERT_EQ(readsFor(reader, 0x51).size(), 1u);
    EXPECT_EQ(readsFor(reader, 0x51)[0].payload, std::string(64, 'q'));
}

TEST_F(Workers, NoWorkerWhenThePayloadCannotBeCopied) {
    ProbeControl& reader = addReader();
    load();
    const std::string query = "query";
    allocator.failFromNowOn(true);
    EXPECT_EQ(route(readRequest(0x61, MSG_SELECT_2, kQueryType, &query)), STATUS_OK);
    CoreMessage direct = readRequest(0x62, MSG_SELECT_2, kQueryType, &query);
    EXPECT_EQ(startRequestWorker(core->router(), recordOf("reader.so"), direct), 0);
    // A length past the payload maximum is never copied, whatever the heap,
    // and the sender is told so.
    allocator.failFromNowOn(false);
    CoreMessage huge = readRequest(0x63, MSG_SELECT_2, kQueryType, &query);
    huge.length = 0x80000000u;
    EXPECT_EQ(route(huge), STATUS_NO_MEMORY);
    // Without a payload there is nothing to copy, so the worker starts.
    allocator.failFromNowOn(true);
    EXPECT_EQ(route(readRequest(0x64, MSG_SELECT_2, kQueryType)), STATUS_OK);
    allocator.failFromNowOn(false);
    ASSERT_TRUE(workersDone());
    EXPECT_EQ(readsFor(reader, 0x61).size(), 0u);
    EXPECT_EQ(readsFor(reader, 0x62).size(), 0u);
    EXPECT_EQ(readsFor(reader, 0x63).size(), 0u);
    EXPECT_EQ(readsFor(reader, 0x64).size(), 1u);
    EXPECT_EQ(core->router().payloads().slots().slotCount(), 0u);
    EXPECT_EQ(allocator.liveBlocks(), 0);
}

TEST_F(Workers, LoadTimeIoctlCarriesTheOnLoadRecords) {
    PluginInfo asking = pluginInfo(0x81);
    asking.ioctlOnLoad = 1;
    ProbeControl& asks = addProbe("asks.so", asking);
    ProbeControl& quiet = addProbe("quiet.so", pluginInfo(0x82));
    load();
    ASSERT_TRUE(workersDone());
    EXPECT_NE(recordOf("asks.so").ioctlWorker, nullptr);
    EXPECT_EQ(recordOf("quiet.so").ioctlWorker, nullptr);

    std::vector<ProbeCall> onLoad;
    for (const ProbeCall& call : asks.callsOf(ProbeEntry::Ioctl)) {
        if (call.ioctl.code == IOCTL_ON_LOAD) onLoad.push_back(call);
    }
    ASSERT_EQ(onLoad.size(), 1u);
    EXPECT_FALSE(pthread_equal(onLoad[0].thread, pthread_self())) << "not on a worker";
    IoctlRequest request;
    std::memset(&request, 0, sizeof request);
    request.size = 40;
    request.version = 1;
    request.code = 1;
    request.payloadRef.size = 8;
    request.payloadRef.version = 1;
    EXPECT_EQ(0, std::memcmp(&onLoad[0].ioctl, &request, sizeof request));
    IoctlReply reply;
    std::memset(&reply, 0, sizeof reply);
    reply.size = 28;
    reply.version = 1;
    reply.code = 1;
    reply.empty = RecordHeader{8, 1};
    EXPECT_EQ(0, std::memcmp(&onLoad[0].ioctlReply, &reply, sizeof reply));
    for (const ProbeCall& call : quiet.callsOf(ProbeEntry::Ioctl)) {
        EXPECT_NE(call.ioctl.code, static_cast<std::uint32_t>(IOCTL_ON_LOAD));
    }
}

// The library asks for a load-time IOCTL and for Read calls but exports
// neither entry point: no worker is started for it, however it is asked.
TEST_F(Workers, PluginLackingReadOrIoctlGetsNoWorker) {
    folder.install("bus_lacking", "bus_lacking.so");
    PluginInfo alike = readerOn(kReaderId, 2);
    alike.ioctlOnLoad = 1;
    ProbeControl& reader = addProbe("reader.so", alike);
    load();
    EXPECT_EQ(recordOf("bus_lacking.so").ioctlWorker, nullptr);
    EXPECT_NE(recordOf("reader.so").ioctlWorker, nullptr);

    PluginRecord lacking = recordOf("bus_lacking.so");
    EXPECT_EQ(startReadWorker(core->router(), lacking), 0);
    EXPECT_EQ(lacking.readWorker, nullptr);
    EXPECT_EQ(startIoctlWorker(core->router(), lacking), 0);
    EXPECT_EQ(lacking.ioctlWorker, nullptr);
    EXPECT_EQ(route(readRequest(0x91, MSG_SELECT_2, kQueryType)), STATUS_OK);
    ASSERT_TRUE(workersDone());
    EXPECT_EQ(readsFor(reader, 0x91).size(), 1u);
}

// The scheduler's start-up readers, in a started Core.
TEST_F(Workers, StartedCoreStartsReadersOnlyWhereReadIsExported) {
    folder.install("bus_lacking", "bus_lacking.so");
    ProbeControl& reader = addReader();
    start();
    ASSERT_TRUE(reader.waitFor(ProbeEntry::Read, 1));
    ASSERT_TRUE(waitUntil([&] { return recordOf("reader.so").readWorker != nullptr; }));
    EXPECT_EQ(recordOf("bus_lacking.so").readWorker, nullptr);
    EXPECT_EQ(readsFor(reader, 0).size(), 1u);
}

}  // namespace
