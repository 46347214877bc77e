// The stress run: the whole message path of a started Core, loaded with
// real plugin libraries by the real loader, under load from every side at
// once, and then stopped while the load goes on. Built and run in the
// normal, AddressSanitizer and ThreadSanitizer builds; how long the load
// lasts comes from TESSARD_STRESS_SECONDS (3 by default), so that
// scripts/soak.sh can run the same test for minutes.
//
// What runs at once:
//  - several producer threads (producer.h) sending sequenced records,
//    plain records and broadcasts with payloads through the plugins'
//    callback, each payload carrying its producer, a serial and the chain
//    that lets a sink see a lost, repeated or reordered record;
//  - four sinks of three kinds (hard_sink.c) that check every delivery as
//    it comes, keep every payload and give it back from their own threads;
//  - two readers (hard_reader.c) whose workers answer every read request
//    with payloads paced by their reply slots, while a requester thread
//    cancels most handles and revives some (side_load.h);
//  - a thread switching the Core's throttling on and off (side_load.h);
//  - the Core's own event handler and scheduler threads;
// and then Core::stop() on this thread while all of it keeps sending (the
// producers slower than before, producer.h says why).
//
// What is checked, and why it can only hold if the message path is right:
//  - every record the router accepted reached every sink whose masks select
//    it exactly once and in its producer's order, up to the point where the
//    stop began and discarded what was still queued, and a sink got nothing
//    that was not accepted: each record names its producer's previous
//    accepted record of the sink's kind, so the chain breaks at a lost,
//    repeated, reordered or wrongly accepted one; the records a sink missed
//    after its last one are no more than the stop said it discarded;
//  - payloads arrive intact (a cut, mixed up or reused buffer shows);
//  - every refusal carries the right code: each producer models its own
//    sequence-table entry, so it knows the single code of every send, and
//    STATUS_THROTTLED is allowed only when throttling was on at some moment
//    of that send, STATUS_STOPPING only once the stop has begun; readers'
//    answers get only STATUS_OK, STATUS_CANCELLED or STATUS_STOPPING,
//    and those for handles nobody cancelled are never refused before the
//    stop; every read request and cancel is accepted;
//  - every answer a reader had sent before the stop began reached the sinks
//    that take answers, but those the stop discarded, and no sink got more
//    answers than were accepted;
//  - no leak: once the Core has stopped no payload is held and no reply
//    slot is left, and once it is destroyed no payload copy is left;
//  - no race (the ThreadSanitizer build) and no deadlock: a watchdog aborts
//    the run, naming its phase, when it does not end in a generous bound.
// Figures of what was sent, accepted, refused and delivered are printed.

#include "app/core.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "plugin_folder.h"
#include "poison_allocator.h"
#include "stress_checks.h"
#include "stress_run.h"
#include "temp_dir.h"
#include "watchdog.h"

namespace {

using namespace std::chrono_literals;

// The run switches throttling itself; the scheduler must not.
const char kThrottlingOff[] =
    "<?xml ?>\n<Zelt Delta=\"0\">\n    <Memory ID=\"-2147483648\" Throttling=\"0\" />\n</Zelt>\n";

TEST(StressRun, EveryAcceptedMessageArrivesOnceAndInOrderWhileTheCoreStopsUnderLoad) {
    const StressSettings settings = StressSettings::fromEnvironment();
    std::atomic<const char*> phase{"starting the Core"};
    Watchdog watchdog(settings.bound(), phase);
    PluginFolder folder;
    WorkingDirectory cwd(folder.root());
    writeFile(folder / "core.xml", kThrottlingOff);
    StressPlugins::install(folder);
    PoisonAllocator allocator;
    LogCapture log;
    {
        Core core(folder.exePath(), allocator);
        StopOnExit stopper{core};
        core.start();
        StressPlugins plugins(folder);
        ASSERT_TRUE(plugins.resolved()) << "a plugin copy was not loaded, or lacks its counters";
        expectSinkKinds(plugins);

        StressLoad load(core, plugins, settings);
        phase = "running the load";
        const LoadPeaks peaks = runLoad(core, plugins, settings.load);
        phase = "stopping the Core under load";
        const StopMark mark = beginStop(load, plugins);
        const std::chrono::milliseconds stopTook = timedStop(core);
        phase = "sending after the stop";
        std::this_thread::sleep_for(20ms);
        load.finish();

        phase = "checking";
        printFigures(load, plugins, settings, peaks, mark, stopTook);
        // What was still queued when the stop began is discarded, and said.
        const std::uint64_t discarded = discardedAtStop(log);
        for (const SinkView& sink : plugins.sinks) {
            expectExactlyTheAccepted(sink, load.producers, discarded);
            expectAnswers(sink, mark, plugins.answersAccepted(), discarded);
        }
        expectNothingLeftHeld(core);
        expectRightCodes(load, plugins, mark);
        expectEverythingExercised(load, plugins);
        phase = "destroying the Core";
    }
    EXPECT_EQ(allocator.liveBlocks(), 0) << "payload copies left after the Core went";
}

}  // namespace
