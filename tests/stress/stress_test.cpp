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
//  - every record the router accepted before the stop began reached every
//    sink whose masks select it exactly once and in its producer's order,
//    and a sink got nothing that was not accepted: each record names its
//    producer's previous accepted record of the sink's kind, so the chain
//    breaks at a lost, repeated, reordered or wrongly accepted one, and the
//    last record a sink got must be an accepted one no older than the last
//    accepted before the stop (later ones may or may not arrive);
//  - payloads arrive intact (a cut, mixed up or reused buffer shows);
//  - every refusal carries the right code: each producer models its own
//    sequence-table entry, so it knows the single code of every send, and
//    STATUS_THROTTLED is allowed only when throttling was on at some moment
//    of that send; readers' answers get only STATUS_OK or STATUS_CANCELLED,
//    and those for handles nobody cancelled are never refused before the
//    stop; every read request and cancel is accepted;
//  - every answer a reader had sent before the stop began reached the sinks
//    that take answers, and no sink got more answers than were accepted;
//  - no leak: once the Core is destroyed no payload copy is left;
//  - no race (the ThreadSanitizer build) and no deadlock: a watchdog aborts
//    the run, naming its phase, when it does not end in a generous bound.
// Figures of what was sent, accepted, refused and delivered are printed.

#include "app/core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "plugin_folder.h"
#include "poison_allocator.h"
#include "producer.h"
#include "side_load.h"
#include "stress_plugins.h"
#include "temp_dir.h"
#include "watchdog.h"

namespace {

using namespace std::chrono_literals;
using Producers = std::vector<std::unique_ptr<Producer>>;

// The run switches throttling itself; the scheduler must not.
const char kThrottlingOff[] =
    "<?xml ?>\n<Zelt Delta=\"0\">\n    <Memory ID=\"-2147483648\" Throttling=\"0\" />\n</Zelt>\n";

struct StressSettings {
    std::chrono::milliseconds load{3000};
    std::uint32_t producers = 4;

    static StressSettings fromEnvironment() {
        StressSettings settings;
        if (const char* seconds = std::getenv("TESSARD_STRESS_SECONDS")) {
            const double value = std::atof(seconds);
            if (value > 0) settings.load = std::chrono::milliseconds(static_cast<long>(value * 1000));
        }
        if (const char* count = std::getenv("TESSARD_STRESS_PRODUCERS")) {
            const long value = std::atol(count);
            if (value >= 1 && value <= HARD_MAX_PRODUCERS) settings.producers = value;
        }
        return settings;
    }

    // Every round of the read requester starts a worker thread per reader,
    // and ThreadSanitizer's runtime keeps state for every thread it ever
    // saw: each synchronisation gets slower as they add up, and after some
    // 60,000 the runtime cannot map memory for the next. So in that build a
    // long run spreads a fixed number of rounds over its load.
    std::chrono::microseconds requestPause() const {
        const std::chrono::microseconds usual{1000};
#if defined(__SANITIZE_THREAD__)
        constexpr long kRoundsAtMost = 6000;
        return std::max(usual, std::chrono::microseconds(load) / kRoundsAtMost);
#else
        return usual;
#endif
    }

    // Far beyond what a healthy run takes in any build.
    std::chrono::seconds bound() const {
        return std::chrono::duration_cast<std::chrono::seconds>(90s + 3 * load);
    }
};

// Every thread of the load, started at construction and joined by finish().
class StressLoad {
public:
    StressLoad(Core& core, const StressPlugins& plugins, const StressSettings& settings)
        : throttle(core.throttling),
          requester(signals, settings.requestPause()),
          switcher(signals, throttle) {
        const SinkView& pacer = plugins.pacer();
        for (std::uint32_t index = 0; index < settings.producers; ++index) {
            producers.push_back(std::make_unique<Producer>(
                index, signals, throttle,
                [&pacer](std::uint32_t producer) { return pacer.records(producer); }));
        }
        for (auto& producer : producers) threads.emplace_back([&producer] { producer->run(); });
        threads.emplace_back([this] { requester.run(); });
        threads.emplace_back([this] { switcher.run(); });
    }
    ~StressLoad() { finish(); }

    void finish() {
        signals.done = true;
        for (std::thread& thread : threads) {
            if (thread.joinable()) thread.join();
        }
    }

    RunSignals signals;
    ThrottleWatch throttle;
    Producers producers;
    ReadRequester requester;
    ThrottleSwitcher switcher;

private:
    std::vector<std::thread> threads;
};

// Stops the Core when the test leaves early; a second stop does nothing.
struct StopOnExit {
    Core& core;
    ~StopOnExit() { core.stop(); }
};

// What the readers had done when the stop began.
struct StopMark {
    std::uint64_t answersAccepted;
    std::uint64_t liveRefusals;
};

StopMark beginStop(StressLoad& load, const StressPlugins& plugins) {
    const StopMark mark{plugins.answersAccepted(), plugins.liveRefusals()};
    load.signals.stopBegan = true;
    return mark;
}

std::chrono::milliseconds timedStop(Core& core) {
    const auto began = std::chrono::steady_clock::now();
    core.stop();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 began);
}

int kindOfName(const std::string& name) {
    if (name.find("_plain") != std::string::npos) return HARD_KIND_PLAIN;
    if (name.find("_seq") != std::string::npos) return HARD_KIND_SEQUENCED;
    return HARD_KIND_ALL;
}

void expectExactlyTheAccepted(const SinkView& sink, const Producers& producers) {
    EXPECT_EQ(sink.faults(), 0u) << sink.firstFault();
    for (const auto& producer : producers) {
        const std::uint32_t index = producer->index();
        const std::string why =
            producer->judgeSink(sink.kind(), sink.lastSerial(index), sink.records(index));
        EXPECT_TRUE(why.empty()) << sink.name() << ", " << why;
    }
    EXPECT_EQ(sink.held(), 0u) << sink.name() << " kept payloads past its Close";
}

void expectAnswers(const SinkView& sink, const StopMark& mark, std::uint64_t acceptedInAll) {
    if (sink.kind() != HARD_KIND_ALL) {
        EXPECT_EQ(sink.answers(), 0u) << sink.name() << " does not select answers";
        return;
    }
    EXPECT_GE(sink.answers(), mark.answersAccepted)
        << sink.name() << " lost answers accepted before the stop";
    EXPECT_LE(sink.answers(), acceptedInAll) << sink.name() << " got answers never accepted";
}

std::string lines(const std::vector<std::string>& notes) {
    std::string text;
    for (const std::string& note : notes) text += "\n  " + note;
    return text;
}

void expectRightCodes(const StressLoad& load, const StressPlugins& plugins, const StopMark& mark) {
    for (const auto& producer : load.producers) {
        EXPECT_EQ(producer->faultCount(), 0u)
            << "wrong codes, the first of them:" << lines(producer->faultNotes());
    }
    EXPECT_TRUE(load.requester.faults().empty()) << lines(load.requester.faults());
    for (const ReaderView& reader : plugins.readers) {
        EXPECT_EQ(reader.wrongCodes(), 0u) << reader.name() << " answers got wrong codes";
    }
    EXPECT_EQ(mark.liveRefusals, 0u) << "answers for handles nobody cancelled were refused";
}

std::uint64_t refusedWith(const Producers& producers, std::int32_t code) {
    std::uint64_t total = 0;
    for (const auto& producer : producers) {
        const auto found = producer->refusals().find(code);
        if (found != producer->refusals().end()) total += found->second;
    }
    return total;
}

std::uint64_t acceptedIn(const Producers& producers, int stream) {
    std::uint64_t total = 0;
    for (const auto& producer : producers) total += producer->acceptedIn(stream);
    return total;
}

// The run did what it claims: every refusal it means to provoke happened,
// and producers were still being accepted while the Core stopped.
void expectEverythingExercised(const StressLoad& load, const StressPlugins& plugins) {
    const Producers& producers = load.producers;
    for (int stream = 0; stream < HARD_STREAMS; ++stream) {
        EXPECT_GT(acceptedIn(producers, stream), 0u) << "stream " << stream;
    }
    for (std::int32_t code : {STATUS_CANCELLED, STATUS_NO_SEQUENCE, STATUS_THROTTLED,
                              STATUS_NO_MEMORY}) {
        EXPECT_GT(refusedWith(producers, code), 0u) << "no refusal with code " << code;
    }
    std::uint64_t afterStop = 0;
    for (const auto& producer : producers) afterStop += producer->acceptedAfterStop();
    EXPECT_GT(afterStop, 0u) << "no producer was still sending while the Core stopped";
    EXPECT_GT(load.requester.cancels(), 0u);
    EXPECT_GT(plugins.answersAccepted(), 0u);
}

unsigned long long figure(std::uint64_t value) { return value; }

void printSends(const StressLoad& load) {
    const Producers& producers = load.producers;
    std::uint64_t sent = 0;
    std::uint64_t afterStop = 0;
    for (const auto& producer : producers) {
        sent += producer->sent();
        afterStop += producer->acceptedAfterStop();
    }
    const std::uint64_t sequenced = acceptedIn(producers, HARD_STREAM_SEQUENCED);
    const std::uint64_t plain = acceptedIn(producers, HARD_STREAM_PLAIN);
    const std::uint64_t broadcast = acceptedIn(producers, HARD_STREAM_BROADCAST);
    std::printf("stress: records sent %llu, accepted %llu (sequenced %llu, plain %llu, "
                "broadcast %llu), %llu of them after the stop began\n",
                figure(sent), figure(sequenced + plain + broadcast), figure(sequenced),
                figure(plain), figure(broadcast), figure(afterStop));
    std::printf("stress: refused: cancelled %llu, no sequence %llu, overrun %llu, throttled %llu, "
                "no memory %llu; throttling switched on %llu times\n",
                figure(refusedWith(producers, STATUS_CANCELLED)),
                figure(refusedWith(producers, STATUS_NO_SEQUENCE)),
                figure(refusedWith(producers, STATUS_OVERRUN)),
                figure(refusedWith(producers, STATUS_THROTTLED)),
                figure(refusedWith(producers, STATUS_NO_MEMORY)),
                figure(load.throttle.switchCount()));
}

void printReads(const StressLoad& load, const StressPlugins& plugins, const StopMark& mark) {
    std::uint64_t reads = 0;
    std::uint64_t refused = 0;
    for (const ReaderView& reader : plugins.readers) {
        reads += reader.reads();
        refused += reader.cancelled();
    }
    std::printf("stress: read requests %llu (%llu revivals), cancels %llu; Read calls %llu, "
                "answers accepted %llu (%llu before the stop), refused as cancelled %llu\n",
                figure(load.requester.requests()), figure(load.requester.revivals()),
                figure(load.requester.cancels()), figure(reads),
                figure(plugins.answersAccepted()), figure(mark.answersAccepted), figure(refused));
}

void printDeliveries(const StressLoad& load, const StressPlugins& plugins) {
    for (const SinkView& sink : plugins.sinks) {
        std::uint64_t records = 0;
        for (const auto& producer : load.producers) records += sink.records(producer->index());
        std::printf("stress: %s delivered %llu records, %llu answers, %llu core notices\n",
                    sink.name().c_str(), figure(records), figure(sink.answers()),
                    figure(sink.others()));
    }
}

void printFigures(const StressLoad& load, const StressPlugins& plugins,
                  const StressSettings& settings, const StopMark& mark,
                  std::chrono::milliseconds stopTook) {
    std::printf("stress: %.1f s of load, %u producers; the stop took %lld ms\n",
                settings.load.count() / 1000.0, settings.producers,
                static_cast<long long>(stopTook.count()));
    printSends(load);
    printReads(load, plugins, mark);
    printDeliveries(load, plugins);
    std::fflush(stdout);
}

TEST(StressRun, EveryAcceptedMessageArrivesOnceAndInOrderWhileTheCoreStopsUnderLoad) {
    const StressSettings settings = StressSettings::fromEnvironment();
    std::atomic<const char*> phase{"starting the Core"};
    Watchdog watchdog(settings.bound(), phase);
    PluginFolder folder;
    WorkingDirectory cwd(folder.root());
    writeFile(folder / "core.xml", kThrottlingOff);
    StressPlugins::install(folder);
    PoisonAllocator allocator;
    {
        Core core(folder.exePath(), allocator);
        StopOnExit stopper{core};
        core.start();
        StressPlugins plugins(folder);
        ASSERT_TRUE(plugins.resolved()) << "a plugin copy was not loaded, or lacks its counters";
        for (const SinkView& sink : plugins.sinks) EXPECT_EQ(sink.kind(), kindOfName(sink.name()));

        StressLoad load(core, plugins, settings);
        phase = "running the load";
        std::this_thread::sleep_for(settings.load);
        phase = "stopping the Core under load";
        const StopMark mark = beginStop(load, plugins);
        const std::chrono::milliseconds stopTook = timedStop(core);
        phase = "sending after the stop";
        std::this_thread::sleep_for(20ms);
        load.finish();

        phase = "checking";
        printFigures(load, plugins, settings, mark, stopTook);
        for (const SinkView& sink : plugins.sinks) {
            expectExactlyTheAccepted(sink, load.producers);
            expectAnswers(sink, mark, plugins.answersAccepted());
        }
        expectRightCodes(load, plugins, mark);
        expectEverythingExercised(load, plugins);
        phase = "destroying the Core";
    }
    EXPECT_EQ(allocator.liveBlocks(), 0) << "payload copies left after the Core went";
}

}  // namespace
