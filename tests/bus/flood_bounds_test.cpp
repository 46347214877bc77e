// The router's tables and the event queue under floods: whatever a plugin
// sends, they stay bounded, while a sender that behaves sees what it always
// saw. Each case floods one table through the real callback of a loaded
// Core and looks at the table's size afterwards.

#include <gtest/gtest.h>

#include "bus_harness.h"

#ifdef TESSARD_HAVE_TCMALLOC
#include <gperftools/malloc_extension.h>
#endif

namespace {

using namespace bus_harness;

constexpr std::uint64_t kSteady = 0xB1;
constexpr std::uint64_t kFlooder = 0xB2;
constexpr std::uint64_t kFrameType = 0x77;

class FloodBounds : public MessagePathTest {};

// Catches a table of cancels that grows with every handle ever cancelled
// (4 M cancels held 189 MB), and one that forgets a cancel while a reader
// of that handle still runs.
TEST_F(FloodBounds, CancelsAreKeptOnlyWhileTheirReadersMayRun) {
    load();
    constexpr std::uint64_t kServed = 0x5E1;
    core->router().cancels().readerStarting(kServed);
    EXPECT_EQ(route(cancel(kServed)), STATUS_OK);
    for (std::uint64_t handle = 1; handle <= 200000; ++handle) {
        ASSERT_EQ(route(cancel(0x10000000 + handle)), STATUS_OK);
    }
    EXPECT_LE(core->router().cancels().cancelsKept(), CancelledHandles::kRecentCancels + 1);
    EXPECT_TRUE(core->router().cancels().isCancelled(kServed)) << "a served handle's cancel was forgotten";
    EXPECT_TRUE(core->router().cancels().isCancelled(0x10000000 + 200000)) << "the latest cancel is gone";
    core->router().cancels().readerEnded(kServed);
    EXPECT_FALSE(core->router().cancels().isCancelled(kServed));
}

// Catches a sequence table that grows with every source value a plugin
// invents, and a bound that takes the sequence of a sender still using it.
TEST_F(FloodBounds, InventedSourcesDoNotCloseASequenceInUse) {
    load();
    ASSERT_EQ(route(sequenced(kSteady, true)), STATUS_OK);
    for (std::uint64_t source = 1; source <= 3 * SequenceTable::kMaxSequences; ++source) {
        ASSERT_EQ(route(sequenced(0x20000000 + source, true)), STATUS_OK);
        if (source % 100 == 0) {
            ASSERT_EQ(route(sequenced(kSteady, source % 700 == 0)), STATUS_OK) << source;
            dispatch();
        }
    }
    dispatch();
    EXPECT_LE(core->router().sequences().openSequences(), SequenceTable::kMaxSequences);
    EXPECT_TRUE(core->router().sequences().isOpen(kSteady));
    EXPECT_FALSE(core->router().sequences().isOpen(0x20000000 + 1)) << "the oldest was not closed";
}

// Catches a queue that grows without bound behind a slow consumer, and a
// refusal that leaves a sequence open or goes uncounted: past its byte
// limit the queue refuses with STATUS_NO_MEMORY, counts the sender, closes
// a refused sequenced record's sequence, and takes messages again once the
// handler has handed the queued ones out.
TEST_F(FloodBounds, FullQueueRefusesAndCountsUntilItIsHandedOut) {
    addProbe("sink.so", infoWithMasks(0xB3, UINT64_MAX, true));
    load();
    const std::string frame(1000, 'f');
    core->router().events().limitBytes(10 * EventQueue::bytesOf(message(kFlooder, MSG_SELECT_1,
                                                                 kFrameType, &frame)));
    for (int sent = 0; sent < 10; ++sent) {
        ASSERT_EQ(route(message(kFlooder, MSG_SELECT_1, kFrameType, &frame)), STATUS_OK);
    }
    for (int sent = 0; sent < 25; ++sent) {
        EXPECT_EQ(route(message(kFlooder, MSG_SELECT_1, kFrameType, &frame)), STATUS_NO_MEMORY);
    }
    EXPECT_EQ(route(sequenced(kSteady, true, &frame)), STATUS_NO_MEMORY);
    EXPECT_FALSE(core->router().sequences().isOpen(kSteady)) << "a refused record left its sequence open";
    EXPECT_EQ(core->router().refusals().refusalsOf(kFlooder), 25u);
    EXPECT_EQ(allocator.liveBlocks(), 10) << "refused copies were not freed";

    dispatch();
    EXPECT_EQ(core->router().events().bytesHeld(), 0u);
    EXPECT_EQ(route(message(kFlooder, MSG_SELECT_1, kFrameType, &frame)), STATUS_OK);
    dispatch();
    EXPECT_EQ(allocator.liveBlocks(), 0);
}

// Catches a queue whose storage, grown by a burst, stays allocated until
// restart and counts against the heap ceiling: once the event handler has
// handed the burst out and goes idle, the storage is given back.
TEST_F(FloodBounds, QueueStorageIsGivenBackAfterABurst) {
    // The sink takes only the gate event and holds the event handler there
    // while the burst queues up behind it; the burst itself reaches nobody,
    // so nothing but the queue keeps memory for it.
    constexpr std::uint64_t kGateType = 0x1;
    Gate gate;
    ProbeControl& sink = addProbe("sink.so", infoWithMasks(0xB4, kGateType, true));
    sink.behaviour.onWrite = [&](ProbeControl&, const WriteRequest&) { gate.wait(std::chrono::seconds(60)); };
    start();
    ASSERT_EQ(route(message(kFlooder, MSG_SELECT_1, kGateType)), STATUS_OK);
    ASSERT_TRUE(sink.waitFor(ProbeEntry::Write, 1));
#ifdef TESSARD_HAVE_TCMALLOC
    std::size_t before = 0;
    MallocExtension::instance()->GetNumericProperty("generic.current_allocated_bytes", &before);
#endif
    constexpr int kBurst = 100000;
    for (int sent = 0; sent < kBurst; ++sent) {
        ASSERT_EQ(route(message(kFlooder, MSG_SELECT_1, kFrameType)), STATUS_OK);
    }
    EXPECT_GE(core->router().events().capacity(), static_cast<std::size_t>(kBurst / 2));
    gate.open();
    ASSERT_TRUE(waitUntil([&] { return core->router().events().capacity() <= EventQueue::kKeptEvents; },
                          std::chrono::seconds(60)))
        << "the queue kept " << core->router().events().capacity() << " records' worth of storage";
#ifdef TESSARD_HAVE_TCMALLOC
    // The burst's storage was about 22 MB; the batch it was handed out in is
    // given back once the handler is idle as well.
    EXPECT_TRUE(waitUntil(
        [&] {
            std::size_t now = 0;
            MallocExtension::instance()->GetNumericProperty("generic.current_allocated_bytes", &now);
            return now < before + 4 * 1024 * 1024;
        },
        std::chrono::seconds(60)));
#endif
}

}  // namespace
