// The router, outcome by outcome in the order it examines a message:
// releases, cancels and read requests, then the queued path with its
// sequence check, throttling, payload copy and handle check, and the pacing
// of reader workers. The plugins are probe copies loaded by the real loader;
// no thread of the Core runs, and the tests hand queued events to the
// plugins themselves where a test needs the fan-out.

#include "app/core.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <thread>

#include "bus_harness.h"

namespace {

using namespace bus_harness;
using namespace std::chrono_literals;

constexpr std::uint64_t kSender = 0xA1;
constexpr std::uint64_t kHolderA = 0xA2;
constexpr std::uint64_t kHolderB = 0xA3;
constexpr std::uint64_t kReaderId = 0xA4;
constexpr std::uint64_t kOtherSender = 0xA5;
// Kind bits only, so that no frame is a sequenced record.
constexpr std::uint64_t kFrameType = 0x77;
constexpr std::uint64_t kQueryType = 0x66;
constexpr std::uint64_t kAnswerType = 0x55;

CoreMessage answer(std::uint64_t handle, const void* payload, std::uint32_t length) {
    CoreMessage reply = message(kReaderId, MSG_SELECT_1, kAnswerType);
    reply.handle = handle;
    reply.payload = payload;
    reply.length = length;
    return reply;
}

// ---- Releases ---------------------------------------------------------------

class RouterRelease : public MessagePathTest {
protected:
    // Two plugins that keep every frame selected by MSG_SELECT_1; holder B
    // also keeps the frames selected by MSG_SELECT_3, which A does not take.
    void loadHolders() {
        holderA = &addProbe("holder_a.so", writerOn(kHolderA, 1));
        PluginInfo infoB = writerOn(kHolderB, 1);
        infoB.eventMasks[3] = UINT64_MAX;
        holderB = &addProbe("holder_b.so", infoB);
        holderA->behaviour.retainWrites = true;
        holderB->behaviour.retainWrites = true;
        load();
    }

    // Sends a frame, hands it to the plugins and returns the buffer they got.
    const void* deliver(const std::string& bytes, std::uint64_t flags, ProbeControl& receiver) {
        EXPECT_EQ(route(message(kSender, flags, kFrameType, &bytes)), STATUS_OK);
        dispatch();
        const std::vector<ProbeCall> writes = writesOfType(receiver, kFrameType);
        if (writes.empty()) {
            ADD_FAILURE() << "the frame was not delivered";
            return nullptr;
        }
        return writes.back().write.payload;
    }

    std::size_t holds(const void* payload) {
        return core->router().payloads().holders().holdsOn(reinterpret_cast<std::uintptr_t>(payload));
    }

    ProbeControl* holderA = nullptr;
    ProbeControl* holderB = nullptr;
};

TEST_F(RouterRelease, OnlyTheExactFlagsWordReleases) {
    loadHolders();
    const void* frame = deliver("frame", MSG_SELECT_1, *holderA);
    ASSERT_EQ(holds(frame), 2u);
    ASSERT_EQ(allocator.liveBlocks(), 1);

    for (std::uint64_t almost : {MSG_RELEASE | MSG_SELECT_0, MSG_RELEASE | MSG_TO_OTHERS}) {
        CoreMessage notRelease = release(kHolderA, frame);
        notRelease.flags = almost;
        EXPECT_EQ(route(notRelease), STATUS_OK);
        dispatch();
        EXPECT_EQ(holds(frame), 2u) << "flags 0x" << std::hex << almost << " released";
    }

    EXPECT_EQ(route(release(kHolderA, frame)), STATUS_OK);
    EXPECT_EQ(holds(frame), 1u);
    EXPECT_EQ(allocator.liveBlocks(), 1);
    EXPECT_EQ(route(release(kHolderB, frame)), STATUS_OK);
    EXPECT_EQ(holds(frame), 0u);
    EXPECT_EQ(allocator.liveBlocks(), 0);
}

// A release with source 0 is a release by holder 0, not a control message:
// it starts no reader although the plugin takes every read request.
TEST_F(RouterRelease, ReleaseFromSourceZeroIsNotAReadRequest) {
    PluginInfo info = writerOn(0, 1);
    for (std::uint64_t& mask : info.eventMasks) mask = UINT64_MAX;
    info.readPolling = 1;
    ProbeControl& holderZero = addProbe("holder_zero.so", info);
    holderZero.behaviour.retainWrites = true;
    load();
    const void* frame = deliver("frame", MSG_SELECT_1, holderZero);
    ASSERT_EQ(allocator.liveBlocks(), 1);

    EXPECT_EQ(route(release(0, frame)), STATUS_OK);
    EXPECT_EQ(allocator.liveBlocks(), 0);
    ASSERT_TRUE(workersDone());
    EXPECT_EQ(holderZero.count(ProbeEntry::Read), 0u);
}

// The releases come from the holders' own threads; the reader waits for its
// first answer to be freed before its second is queued.
TEST_F(RouterRelease, LastHolderFreesTheBufferAndWakesTheWaitingReader) {
    struct Reader {
        Gate firstSent, secondSent;
        std::atomic<std::int32_t> first{-2}, second{-2};
    };
    auto reader = std::make_shared<Reader>();
    ProbeControl& readerProbe = addProbe("reader.so", readerOn(kReaderId, 2));
    readerProbe.behaviour.onRead = [reader](ProbeControl& self, const ReadRequest& request) {
        const std::string one = "first answer", two = "second answer";
        reader->first = self.send(answer(request.handle, one.data(), one.size()));
        reader->firstSent.open();
        reader->second = self.send(answer(request.handle, two.data(), two.size()));
        reader->secondSent.open();
    };
    holderA = &addProbe("holder_a.so", writerOn(kHolderA, 1));
    holderB = &addProbe("holder_b.so", writerOn(kHolderB, 1));
    holderA->behaviour.retainWrites = true;
    holderB->behaviour.retainWrites = true;
    load();
    const long copiesBefore = allocator.totalBlocks();

    EXPECT_EQ(route(readRequest(0x51, MSG_SELECT_2, kQueryType)), STATUS_OK);
    ASSERT_TRUE(reader->firstSent.wait());
    EXPECT_EQ(reader->first.load(), STATUS_OK);
    dispatch();
    const std::vector<ProbeCall> delivered = writesOfType(*holderA, kAnswerType);
    ASSERT_EQ(delivered.size(), 1u);
    const void* first = delivered[0].write.payload;
    ASSERT_EQ(holds(first), 2u);

    EXPECT_FALSE(reader->secondSent.wait(300ms)) << "sent while its first answer was held";
    std::thread([&] { EXPECT_EQ(holderA->send(release(kHolderA, first)), STATUS_OK); }).join();
    EXPECT_EQ(holds(first), 1u);
    // The first answer, and the copy of the second, made before it waits.
    EXPECT_EQ(allocator.liveBlocks(), 2);
    EXPECT_FALSE(reader->secondSent.wait(300ms)) << "sent while another holder kept its answer";

    std::thread([&] { EXPECT_EQ(holderB->send(release(kHolderB, first)), STATUS_OK); }).join();
    ASSERT_TRUE(reader->secondSent.wait()) << "the last release did not wake the reader";
    EXPECT_EQ(reader->second.load(), STATUS_OK);
    EXPECT_EQ(allocator.totalBlocks() - copiesBefore, 2);
    EXPECT_EQ(allocator.liveBlocks(), 1);
}

TEST_F(RouterRelease, ReleaseOfABufferWithoutHoldsFreesNothing) {
    loadHolders();
    const void* frame = deliver("frame", MSG_SELECT_1, *holderA);
    EXPECT_EQ(route(release(kHolderA, frame)), STATUS_OK);
    ASSERT_EQ(holds(frame), 1u);

    // Holder A has given its hold back; a sender that never held anything
    // names the buffer; an address the core never handed out; no address.
    const std::string notAPayload = "not a payload";
    EXPECT_EQ(route(release(kHolderA, frame)), STATUS_OK);
    EXPECT_EQ(route(release(kSender, frame)), STATUS_OK);
    EXPECT_EQ(route(release(kHolderB, notAPayload.data())), STATUS_OK);
    EXPECT_EQ(route(release(kHolderB, nullptr)), STATUS_OK);
    EXPECT_EQ(holds(frame), 1u);
    EXPECT_EQ(allocator.liveBlocks(), 1);

    EXPECT_EQ(route(release(kHolderB, frame)), STATUS_OK);
    EXPECT_EQ(allocator.liveBlocks(), 0);
}

// A stale second release must not free the buffer that took the first one's
// address, which the allocator is free to hand out again at once.
TEST_F(RouterRelease, SecondReleaseBySameHolderFreesOnce) {
    loadHolders();
    const void* first = deliver("first", MSG_SELECT_1, *holderA);
    EXPECT_EQ(route(release(kHolderA, first)), STATUS_OK);
    EXPECT_EQ(route(release(kHolderB, first)), STATUS_OK);
    ASSERT_EQ(allocator.liveBlocks(), 0);
    EXPECT_EQ(route(release(kHolderB, first)), STATUS_OK);
    EXPECT_EQ(allocator.liveBlocks(), 0);

    // Only holder B takes this one; holder A's stale release names the old
    // address, which may well be this buffer's.
    const void* second = deliver("other", MSG_SELECT_3, *holderB);
    ASSERT_EQ(holds(second), 1u);
    EXPECT_EQ(route(release(kHolderA, first)), STATUS_OK);
    EXPECT_EQ(holds(second), 1u);
    EXPECT_EQ(allocator.liveBlocks(), 1);
}

// ---- Cancels ----------------------------------------------------------------

class RouterCancel : public MessagePathTest {};

TEST_F(RouterCancel, OnlyExactFlagsFromSourceZeroCancel) {
    ProbeControl& everything = addProbe("everything.so", infoWithMasks(kHolderA, UINT64_MAX, true));
    load();
    const std::size_t callsBefore = everything.calls().size();

    EXPECT_EQ(route(cancel(0x61)), STATUS_OK);
    EXPECT_TRUE(core->router().cancels().isCancelled(0x61));
    EXPECT_TRUE(core->router().events().empty());

    // With another bit it is a read request, which makes the handle live.
    CoreMessage notCancel = cancel(0x61);
    notCancel.flags = MSG_CANCEL | MSG_SELECT_5;
    EXPECT_EQ(route(notCancel), STATUS_OK);
    EXPECT_FALSE(core->router().cancels().isCancelled(0x61));

    // From a plugin it is an ordinary message, refused here for its handle.
    CoreMessage fromPlugin = cancel(0x62);
    fromPlugin.source = kSender;
    EXPECT_EQ(route(fromPlugin), STATUS_CANCELLED);
    EXPECT_FALSE(core->router().cancels().isCancelled(0x62));

    EXPECT_EQ(route(cancel(0x62)), STATUS_OK);
    EXPECT_EQ(route(cancel(0x62)), STATUS_OK);
    EXPECT_TRUE(core->router().cancels().isCancelled(0x62));
    dispatch();
    ASSERT_TRUE(workersDone());
    EXPECT_EQ(everything.calls().size(), callsBefore) << "a cancel reached a plugin";
}

TEST_F(RouterCancel, CancelledHandleRefusesTheReadersAnswersUntilRevived) {
    struct Reader {
        std::atomic<int> calls{0};
        Gate answered, cancelled, done, revivedDone;
        std::atomic<std::int32_t> before{-2}, afterWithPayload{-2}, afterBare{-2}, revived{-2};
    };
    auto reader = std::make_shared<Reader>();
    ProbeControl& readerProbe = addProbe("reader.so", readerOn(kReaderId, 2));
    readerProbe.behaviour.onRead = [reader](ProbeControl& self, const ReadRequest& request) {
        const std::string bytes = "answer";
        if (++reader->calls == 2) {
            reader->revived = self.send(answer(request.handle, bytes.data(), bytes.size()));
            reader->revivedDone.open();
            return;
        }
        reader->before = self.send(answer(request.handle, bytes.data(), bytes.size()));
        reader->answered.open();
        if (!reader->cancelled.wait()) return;
        reader->afterWithPayload = self.send(answer(request.handle, bytes.data(), bytes.size()));
        reader->afterBare = self.send(answer(request.handle, nullptr, 0));
        reader->done.open();
    };
    load();

    EXPECT_EQ(route(readRequest(0x71, MSG_SELECT_2, kQueryType)), STATUS_OK);
    ASSERT_TRUE(reader->answered.wait());
    EXPECT_EQ(route(cancel(0x71)), STATUS_OK);
    reader->cancelled.open();
    ASSERT_TRUE(reader->done.wait());
    EXPECT_EQ(reader->before.load(), STATUS_OK);
    EXPECT_EQ(reader->afterWithPayload.load(), STATUS_CANCELLED);
    EXPECT_EQ(reader->afterBare.load(), STATUS_CANCELLED);
    // Only the first answer is queued; the refused one's copy is gone.
    EXPECT_EQ(allocator.liveBlocks(), 1);
    dispatch();
    EXPECT_EQ(allocator.liveBlocks(), 0);

    EXPECT_EQ(route(readRequest(0x71, MSG_SELECT_2, kQueryType)), STATUS_OK);
    ASSERT_TRUE(reader->revivedDone.wait());
    EXPECT_EQ(reader->revived.load(), STATUS_OK);
}

// ---- Read requests ----------------------------------------------------------

class RouterReadRequest : public MessagePathTest {};

TEST_F(RouterReadRequest, RequestMatchingNoPluginRevivesItsHandle) {
    load();
    EXPECT_EQ(route(cancel(0x81)), STATUS_OK);
    ASSERT_TRUE(core->router().cancels().isCancelled(0x81));
    EXPECT_EQ(route(readRequest(0x81, MSG_SELECT_2, kQueryType)), STATUS_OK);
    EXPECT_FALSE(core->router().cancels().isCancelled(0x81));
    EXPECT_TRUE(core->router().events().empty()) << "a read request was queued";
}

TEST_F(RouterReadRequest, WorkersOnlyForSubscribedReadingPlugins) {
    ProbeControl& subscribed = addProbe("subscribed.so", readerOn(0xB1, 2));
    PluginInfo otherEntries = readerOn(0xB2, 2, 0);
    for (int entry : {0, 1, 3, 4, 5, 6, 7, 8}) otherEntries.eventMasks[entry] = UINT64_MAX;
    ProbeControl& elsewhere = addProbe("elsewhere.so", otherEntries);
    PluginInfo notReading = readerOn(0xB3, 2);
    notReading.readPolling = 0;
    ProbeControl& silent = addProbe("silent.so", notReading);
    load();

    EXPECT_EQ(route(readRequest(0x91, MSG_SELECT_2, kQueryType)), STATUS_OK);
    ASSERT_TRUE(workersDone());
    ASSERT_EQ(readsFor(subscribed, 0x91).size(), 1u);
    EXPECT_FALSE(pthread_equal(readsFor(subscribed, 0x91)[0].thread, pthread_self()))
        << "Read ran on the sender's thread";
    EXPECT_EQ(elsewhere.count(ProbeEntry::Read), 0u);
    EXPECT_EQ(silent.count(ProbeEntry::Read), 0u);
}

TEST_F(RouterReadRequest, EachSelectionBitPicksItsOwnMaskEntry) {
    const std::uint64_t bits[9] = {MSG_SELECT_0, MSG_SELECT_1, MSG_SELECT_2,
                                   MSG_SELECT_3, MSG_SELECT_4, MSG_SELECT_5,
                                   MSG_SELECT_6, MSG_SELECT_7, MSG_SELECT_8};
    std::vector<ProbeControl*> readers;
    for (int entry = 0; entry < 9; ++entry) {
        readers.push_back(&addProbe("entry" + std::to_string(entry) + ".so",
                                    readerOn(0xC0 + entry, entry)));
    }
    load();

    for (int entry = 0; entry < 9; ++entry) {
        EXPECT_EQ(route(readRequest(0x100 + entry, bits[entry], kQueryType)), STATUS_OK);
    }
    // Flags that select no mask start nobody, whatever else they say.
    for (std::uint64_t none : {MSG_TO_ALL, MSG_TO_OTHERS, MSG_TO_OTHERS | MSG_TO_ALL,
                               UINT64_C(0x2000), UINT64_C(0)}) {
        EXPECT_EQ(route(readRequest(0x200, none, kQueryType)), STATUS_OK);
    }
    ASSERT_TRUE(workersDone());
    for (int entry = 0; entry < 9; ++entry) {
        const std::vector<ProbeCall> reads = readers[entry]->callsOf(ProbeEntry::Read);
        ASSERT_EQ(reads.size(), 1u) << "entry " << entry;
        EXPECT_EQ(reads[0].read.handle, 0x100u + entry) << "entry " << entry;
    }
}

// The router moves the class bits one place down: MSG_TYPE_XML is matched as
// 0x800010, not as the type itself nor as the event handler's 0x2000010.
TEST_F(RouterReadRequest, SubscriptionKeyFoldsClassBitsDown) {
    ProbeControl& folded = addProbe("folded.so", readerOn(0xD1, 1, 0x800010));
    ProbeControl& unfolded = addProbe("unfolded.so", readerOn(0xD2, 1, 0x1000010));
    ProbeControl& upward = addProbe("upward.so", readerOn(0xD3, 1, 0x2000010));
    ProbeControl& zero = addProbe("zero.so", readerOn(0xD4, 1, 0));
    load();

    EXPECT_EQ(route(readRequest(0xE1, MSG_SELECT_1, MSG_TYPE_XML)), STATUS_OK);
    // Key 0 is covered by every mask, the empty one too.
    EXPECT_EQ(route(readRequest(0xE2, MSG_SELECT_1, 0)), STATUS_OK);
    ASSERT_TRUE(workersDone());
    EXPECT_EQ(readsFor(folded, 0xE1).size(), 1u);
    EXPECT_EQ(readsFor(unfolded, 0xE1).size(), 0u);
    EXPECT_EQ(readsFor(upward, 0xE1).size(), 0u);
    EXPECT_EQ(readsFor(zero, 0xE1).size(), 0u);
    for (ProbeControl* probe : {&folded, &unfolded, &upward, &zero}) {
        EXPECT_EQ(readsFor(*probe, 0xE2).size(), 1u);
    }
}

TEST_F(RouterReadRequest, PluginSeesTheRequestWithItsOwnCopyOfThePayload) {
    struct Reader {
        Gate senderDone;
        std::string seen;
    };
    auto reader = std::make_shared<Reader>();
    ProbeControl& probe = addProbe("reader.so", readerOn(kReaderId, 2));
    probe.behaviour.onRead = [reader](ProbeControl&, const ReadRequest& request) {
        if (!reader->senderDone.wait()) return;
        reader->seen.assign(static_cast<const char*>(request.payload), request.length);
    };
    load();
    const long copiesBefore = allocator.totalBlocks();

    auto query = std::make_unique<std::string>("which camera?");
    const void* sendersBuffer = query->data();
    EXPECT_EQ(route(readRequest(0xF1, MSG_SELECT_2, kQueryType, query.get())), STATUS_OK);
    // The sender's buffer goes at once; the worker reads only afterwards.
    query->assign(query->size(), '#');
    query.reset();
    reader->senderDone.open();
    ASSERT_TRUE(workersDone());

    const std::vector<ProbeCall> reads = probe.callsOf(ProbeEntry::Read);
    ASSERT_EQ(reads.size(), 1u);
    const ReadRequest& seen = reads[0].read;
    EXPECT_EQ(seen.size, 40u);
    EXPECT_EQ(seen.version, 1u);
    EXPECT_EQ(seen.reserved0, 0u);
    EXPECT_EQ(seen.onWorker, 1u);
    EXPECT_EQ(seen.reserved1[0] | seen.reserved1[1] | seen.reserved1[2], 0);
    EXPECT_EQ(seen.length, 13u);
    EXPECT_EQ(seen.reserved2, 0u);
    EXPECT_NE(seen.payload, nullptr);
    EXPECT_NE(seen.payload, sendersBuffer);
    EXPECT_EQ(seen.handle, 0xF1u);
    EXPECT_EQ(reads[0].payload, "which camera?");
    EXPECT_EQ(reader->seen, "which camera?");
    const ReadReply& reply = reads[0].readReply;
    EXPECT_EQ(reply.size, 32u);
    EXPECT_EQ(reply.version, 1u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(reply.reserved), sizeof reply.reserved),
              std::string(sizeof reply.reserved, '\0'));
    EXPECT_EQ(allocator.totalBlocks() - copiesBefore, 1);
    EXPECT_EQ(allocator.liveBlocks(), 0);
}

// ---- Sequences ----------------------------------------------------------------

class RouterSequence : public MessagePathTest {
protected:
    void SetUp() override { load(); }

    // Sends `count` records that follow an opening one; true when all passed.
    bool follow(std::uint64_t source, int count) {
        for (int i = 0; i < count; ++i) {
            const std::int32_t code = route(sequenced(source, false));
            if (code != STATUS_OK) {
                ADD_FAILURE() << "record " << i + 1 << " after the opening one got " << code;
                return false;
            }
        }
        return true;
    }
};

TEST_F(RouterSequence, AcceptsTheOpeningRecordAnd766More) {
    EXPECT_EQ(route(sequenced(kSender, true)), STATUS_OK);
    ASSERT_TRUE(follow(kSender, 766));
    EXPECT_EQ(route(sequenced(kSender, false)), STATUS_OVERRUN);
    EXPECT_FALSE(core->router().sequences().isOpen(kSender));
    EXPECT_EQ(route(sequenced(kSender, false)), STATUS_NO_SEQUENCE);

    EXPECT_EQ(route(sequenced(kSender, true)), STATUS_OK);
    ASSERT_TRUE(follow(kSender, 766));
    EXPECT_EQ(route(sequenced(kSender, false)), STATUS_OVERRUN);
}

TEST_F(RouterSequence, EachSenderCountsAlone) {
    EXPECT_EQ(route(sequenced(kSender, true)), STATUS_OK);
    EXPECT_EQ(route(sequenced(kOtherSender, false)), STATUS_NO_SEQUENCE);
    EXPECT_EQ(route(sequenced(kOtherSender, true)), STATUS_OK);
    for (int i = 0; i < 766; ++i) {
        ASSERT_EQ(route(sequenced(kSender, false)), STATUS_OK) << i;
        ASSERT_EQ(route(sequenced(kOtherSender, false)), STATUS_OK) << i;
    }
    EXPECT_EQ(route(sequenced(kSender, false)), STATUS_OVERRUN);
    EXPECT_TRUE(core->router().sequences().isOpen(kOtherSender));
    EXPECT_EQ(route(sequenced(kOtherSender, false)), STATUS_OVERRUN);
}

TEST_F(RouterSequence, ReopeningRestartsTheCount) {
    EXPECT_EQ(route(sequenced(kSender, true)), STATUS_OK);
    ASSERT_TRUE(follow(kSender, 500));
    EXPECT_EQ(route(sequenced(kSender, true)), STATUS_OK);
    ASSERT_TRUE(follow(kSender, 766));
    EXPECT_EQ(route(sequenced(kSender, false)), STATUS_OVERRUN);
}

TEST_F(RouterSequence, UnsequencedRecordsAreNeitherCountedNorRefused) {
    // Bit 24 of the type without MSG_SELECT_0, and MSG_SELECT_0 without it.
    const CoreMessage noSelect = message(kSender, MSG_SELECT_1, MSG_TYPE_SEQUENCED | 5);
    const CoreMessage noClass = message(kSender, MSG_SELECT_0, 5);
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(route(noSelect), STATUS_OK);
        ASSERT_EQ(route(noClass), STATUS_OK);
    }
    EXPECT_FALSE(core->router().sequences().isOpen(kSender));

    // Only the value 1 opens a sequence.
    CoreMessage notOpening = sequenced(kSender, false);
    notOpening.extra[CORE_MESSAGE_SEQUENCE_START] = 2;
    EXPECT_EQ(route(notOpening), STATUS_NO_SEQUENCE);

    EXPECT_EQ(route(sequenced(kSender, true)), STATUS_OK);
    for (int i = 0; i < 766; ++i) {
        ASSERT_EQ(route(sequenced(kSender, false)), STATUS_OK) << i;
        ASSERT_EQ(route(noSelect), STATUS_OK);
        ASSERT_EQ(route(noClass), STATUS_OK);
    }
    EXPECT_EQ(route(sequenced(kSender, false)), STATUS_OVERRUN);
    core->monitor().throttlingSwitch() = true;
    EXPECT_EQ(route(noSelect), STATUS_OK);
    EXPECT_EQ(route(noClass), STATUS_OK);
    core->monitor().throttlingSwitch() = false;
}

// ---- Throttling ----------------------------------------------------------------

class RouterThrottling : public MessagePathTest {};

TEST_F(RouterThrottling, RefusesSequencedRecordsAndClosesTheSendersSequence) {
    ProbeControl& listener = addProbe("listener.so", infoWithMasks(kHolderA, UINT64_MAX, true));
    load();
    EXPECT_EQ(route(sequenced(kSender, true)), STATUS_OK);
    EXPECT_EQ(route(sequenced(kOtherSender, true)), STATUS_OK);

    core->monitor().throttlingSwitch() = true;
    EXPECT_EQ(route(sequenced(kSender, false)), STATUS_THROTTLED);
    EXPECT_FALSE(core->router().sequences().isOpen(kSender));
    EXPECT_EQ(route(sequenced(kSender, true)), STATUS_THROTTLED) << "an opening record passed";
    EXPECT_FALSE(core->router().sequences().isOpen(kSender));
    EXPECT_EQ(route(sequenced(kSender, false)), STATUS_NO_SEQUENCE);

    // Everything else passes, the core's own notices too.
    const std::string frame = "frame";
    EXPECT_EQ(route(message(kSender, MSG_SELECT_1, kFrameType, &frame)), STATUS_OK);
    EXPECT_EQ(route(readRequest(0x31, MSG_SELECT_2, kQueryType)), STATUS_OK);
    EXPECT_EQ(route(cancel(0x31)), STATUS_OK);
    core->sendText("while throttling");
    dispatch();
    EXPECT_EQ(writesOfType(listener, kFrameType).size(), 1u);
    bool noticeArrived = false;
    for (const ProbeCall& call : writesOfType(listener, MSG_TYPE_TEXT)) {
        noticeArrived = noticeArrived || call.payload == "while throttling";
    }
    EXPECT_TRUE(noticeArrived);

    core->monitor().throttlingSwitch() = false;
    EXPECT_EQ(route(sequenced(kSender, false)), STATUS_NO_SEQUENCE);
    // A sender that sent nothing while throttling keeps its sequence.
    EXPECT_EQ(route(sequenced(kOtherSender, false)), STATUS_OK);
    EXPECT_EQ(route(sequenced(kSender, true)), STATUS_OK);
}

// ---- Payload copies -------------------------------------------------------------

class RouterNoMemory : public MessagePathTest {
protected:
    void SetUp() override { load(); }
};

// A length of 0x80000000 or more is a negative count: nothing is copied, so
// a sender's short buffer is never read past its end.
TEST_F(RouterNoMemory, LengthsFromTheSignBitOnCannotBeCopied) {
    const std::string shortBuffer = "short";
    for (std::uint32_t length : {0x80000000u, 0x80000001u, 0xFFFFFFFFu}) {
        CoreMessage huge = message(kSender, MSG_SELECT_1, kFrameType, &shortBuffer);
        huge.length = length;
        EXPECT_EQ(route(huge), STATUS_NO_MEMORY) << std::hex << length;
    }
    EXPECT_TRUE(core->router().events().empty());
    EXPECT_EQ(allocator.liveBlocks(), 0);
}

TEST_F(RouterNoMemory, FailingAllocatorRefusesAndClosesTheSequence) {
    const std::string frame = "frame";
    allocator.failFromNowOn(true);
    EXPECT_EQ(route(message(kSender, MSG_SELECT_1, kFrameType, &frame)), STATUS_NO_MEMORY);
    EXPECT_TRUE(core->router().events().empty());

    // An opening record that cannot be copied leaves no sequence open.
    EXPECT_EQ(route(sequenced(kSender, true, &frame)), STATUS_NO_MEMORY);
    EXPECT_FALSE(core->router().sequences().isOpen(kSender));

    // One without payload needs no copy and passes; the next one with a
    // payload fails and closes the sequence it had been counted in.
    EXPECT_EQ(route(sequenced(kSender, true)), STATUS_OK);
    EXPECT_EQ(route(sequenced(kSender, false, &frame)), STATUS_NO_MEMORY);
    EXPECT_FALSE(core->router().sequences().isOpen(kSender));
    EXPECT_EQ(route(sequenced(kSender, false)), STATUS_NO_SEQUENCE);

    // A record that is not sequenced leaves the sequence alone.
    EXPECT_EQ(route(sequenced(kOtherSender, true)), STATUS_OK);
    EXPECT_EQ(route(message(kOtherSender, MSG_SELECT_1, kFrameType, &frame)), STATUS_NO_MEMORY);
    EXPECT_TRUE(core->router().sequences().isOpen(kOtherSender));

    allocator.failFromNowOn(false);
    EXPECT_EQ(route(message(kSender, MSG_SELECT_1, kFrameType, &frame)), STATUS_OK);
    EXPECT_EQ(allocator.liveBlocks(), 1);
}

// ---- Handles ----------------------------------------------------------------------

class RouterHandle : public MessagePathTest {
protected:
    void SetUp() override { load(); }
};

TEST_F(RouterHandle, ThreadWithoutReplySlotCannotSendForAHandle) {
    const std::string frame = "frame";
    CoreMessage withHandle = message(kSender, MSG_SELECT_1, kFrameType, &frame);
    withHandle.handle = 0xC1;
    ASSERT_FALSE(core->router().cancels().isCancelled(0xC1));
    EXPECT_EQ(route(withHandle), STATUS_CANCELLED);
    std::int32_t fromOwnThread = -2;
    std::thread([&] { fromOwnThread = route(withHandle); }).join();
    EXPECT_EQ(fromOwnThread, STATUS_CANCELLED);
    withHandle.payload = nullptr;
    withHandle.length = 0;
    EXPECT_EQ(route(withHandle), STATUS_CANCELLED);
    EXPECT_TRUE(core->router().events().empty());
    EXPECT_EQ(allocator.liveBlocks(), 0) << "a refused copy was kept";

    // The refusal comes after the sequence check and keeps its count.
    CoreMessage opening = sequenced(kSender, true, &frame);
    opening.handle = 0xC1;
    EXPECT_EQ(route(opening), STATUS_CANCELLED);
    EXPECT_TRUE(core->router().sequences().isOpen(kSender));
}

// ---- Pacing of readers --------------------------------------------------------------

class RouterPacing : public MessagePathTest {};

TEST_F(RouterPacing, SecondPayloadWaitsUntilTheFirstIsFreed) {
    struct Reader {
        Gate unpacedSent, secondSent;
        std::atomic<std::int32_t> codes[4] = {{-2}, {-2}, {-2}, {-2}};
    };
    auto reader = std::make_shared<Reader>();
    ProbeControl& readerProbe = addProbe("reader.so", readerOn(kReaderId, 2));
    readerProbe.behaviour.onRead = [reader](ProbeControl& self, const ReadRequest& request) {
        const std::string one = "one", two = "two";
        reader->codes[0] = self.send(answer(request.handle, one.data(), one.size()));
        reader->codes[1] = self.send(answer(request.handle, nullptr, 0));
        reader->codes[2] = self.send(answer(request.handle, one.data(), 0));
        reader->unpacedSent.open();
        reader->codes[3] = self.send(answer(request.handle, two.data(), two.size()));
        reader->secondSent.open();
    };
    ProbeControl& sink = addProbe("sink.so", writerOn(kHolderA, 1));
    load();

    EXPECT_EQ(route(readRequest(0x41, MSG_SELECT_2, kQueryType)), STATUS_OK);
    ASSERT_TRUE(reader->unpacedSent.wait()) << "a send without payload waited";
    EXPECT_FALSE(reader->secondSent.wait(300ms)) << "the second payload did not wait";
    dispatch();
    ASSERT_TRUE(reader->secondSent.wait()) << "freeing the first payload did not wake the reader";
    dispatch();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(reader->codes[i].load(), STATUS_OK) << i;

    const std::vector<ProbeCall> delivered = writesOfType(sink, kAnswerType);
    ASSERT_EQ(delivered.size(), 4u);
    const char* expected[4] = {"one", "", "", "two"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(delivered[i].payload, expected[i]) << i;
        EXPECT_EQ(delivered[i].write.handle, 0x41u) << i;
    }
    EXPECT_EQ(delivered[2].write.payload, nullptr);
    EXPECT_EQ(delivered[2].write.length, 0u);
    ASSERT_TRUE(workersDone());
    EXPECT_EQ(allocator.liveBlocks(), 0);
}

// ---- What the router answers ------------------------------------------------------------

class RouterCodes : public MessagePathTest {};

// Whatever a plugin sends, the result is 0 and the code is one of the six.
TEST_F(RouterCodes, OnlyItsOwnCodesAreWritten) {
    addProbe("reader.so", readerOn(kReaderId, 0));
    load();
    const std::set<std::int32_t> allowed = {STATUS_OK,        STATUS_CANCELLED, STATUS_NO_SEQUENCE,
                                            STATUS_OVERRUN,   STATUS_THROTTLED, STATUS_NO_MEMORY};
    std::set<std::int32_t> seen;
    auto send = [&](const CoreMessage& sent) {
        // A status the router leaves alone keeps a value outside the six.
        CoreStatus status{sizeof(CoreStatus), 1, 0x5A5A};
        EXPECT_EQ(coreCallback(&sent, &status), 0);
        EXPECT_EQ(allowed.count(status.code), 1u) << status.code;
        seen.insert(status.code);
    };

    const std::string bytes = "abc";
    const std::uint64_t sources[] = {0, kSender, CORE_ID};
    const std::uint64_t flagWords[] = {0,           MSG_SELECT_0,  MSG_RELEASE, MSG_RELEASE | 1,
                                       MSG_CANCEL,  MSG_CANCEL | 1, MSG_TO_OTHERS, MSG_TO_ALL,
                                       MSG_SELECT_8, UINT64_MAX};
    const std::uint64_t types[] = {0, 5, MSG_TYPE_SEQUENCED | 5, UINT64_MAX};
    const std::uint32_t lengths[] = {0, 3, 0x80000000u};
    for (int state = 0; state < 4; ++state) {
        core->monitor().throttlingSwitch() = (state & 1) != 0;
        allocator.failFromNowOn((state & 2) != 0);
        for (std::uint64_t source : sources)
            for (std::uint64_t flags : flagWords)
                for (std::uint64_t type : types)
                    for (std::uint64_t handle : {UINT64_C(0), UINT64_C(9)})
                        for (std::uint32_t length : lengths)
                            for (std::uint8_t opens : {0, 1}) {
                                CoreMessage sent = message(source, flags, type, &bytes);
                                sent.handle = handle;
                                sent.length = length;
                                sent.extra[CORE_MESSAGE_SEQUENCE_START] = opens;
                                send(sent);
                            }
        dispatch();
    }
    allocator.failFromNowOn(false);
    core->monitor().throttlingSwitch() = false;
    // A run long enough to overrun, which the sweep above never reaches.
    send(sequenced(kSender, true));
    for (int i = 0; i < 767; ++i) send(sequenced(kSender, false));
    dispatch();
    EXPECT_EQ(seen, allowed) << "the sweep missed an outcome";
}

}  // namespace
