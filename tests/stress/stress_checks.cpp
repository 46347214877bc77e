// The stress run's checks and figures (stress_checks.h).

#include "stress_checks.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

int kindOfName(const std::string& name) {
    if (name.find("_plain") != std::string::npos) return HARD_KIND_PLAIN;
    if (name.find("_seq") != std::string::npos) return HARD_KIND_SEQUENCED;
    return HARD_KIND_ALL;
}

std::string lines(const std::vector<std::string>& notes) {
    std::string text;
    for (const std::string& note : notes) text += "\n  " + note;
    return text;
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
    std::printf("stress: refused: stopping %llu, cancelled %llu, no sequence %llu, overrun %llu, "
                "throttled %llu, no memory %llu; throttling switched on %llu times\n",
                figure(refusedWith(producers, STATUS_STOPPING)),
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

}  // namespace

void expectSinkKinds(const StressPlugins& plugins) {
    for (const SinkView& sink : plugins.sinks) {
        EXPECT_EQ(sink.kind(), kindOfName(sink.name())) << sink.name();
    }
}

std::uint64_t discardedAtStop(LogCapture& log) {
    const std::string tail = " queued events were discarded at stop";
    for (const CapturedRecord& record : log.records()) {
        const std::size_t at = record.text.find(tail);
        if (at != std::string::npos) return std::stoull(record.text.substr(0, at));
    }
    return 0;
}

void expectExactlyTheAccepted(const SinkView& sink, const Producers& producers,
                              std::uint64_t discarded) {
    EXPECT_EQ(sink.faults(), 0u) << sink.firstFault();
    std::uint64_t missed = 0;
    for (const auto& producer : producers) {
        const std::uint32_t index = producer->index();
        const std::string why =
            producer->judgeSink(sink.kind(), sink.lastSerial(index), sink.records(index));
        EXPECT_TRUE(why.empty()) << sink.name() << ", " << why;
        missed += producer->missedBy(sink.kind(), sink.records(index));
    }
    EXPECT_LE(missed, discarded) << sink.name()
                                 << " missed accepted records the stop did not discard";
    EXPECT_EQ(sink.held(), 0u) << sink.name() << " kept payloads past its Close";
}

void expectAnswers(const SinkView& sink, const StopMark& mark, std::uint64_t acceptedInAll,
                   std::uint64_t discarded) {
    if (sink.kind() != HARD_KIND_ALL) {
        EXPECT_EQ(sink.answers(), 0u) << sink.name() << " does not select answers";
        return;
    }
    EXPECT_GE(sink.answers() + discarded, mark.answersAccepted)
        << sink.name() << " lost answers accepted before the stop";
    EXPECT_LE(sink.answers(), acceptedInAll) << sink.name() << " got answers never accepted";
}

void expectNothingLeftHeld(Core& core) {
    EXPECT_EQ(core.router().payloads().holders().size(), 0u) << "holds on payloads left after the stop";
    EXPECT_EQ(core.router().payloads().slots().slotCount(), 0u) << "reply slots left after the stop";
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

void expectEverythingExercised(const StressLoad& load, const StressPlugins& plugins) {
    const Producers& producers = load.producers;
    for (int stream = 0; stream < HARD_STREAMS; ++stream) {
        EXPECT_GT(acceptedIn(producers, stream), 0u) << "stream " << stream;
    }
    for (std::int32_t code : {STATUS_CANCELLED, STATUS_NO_SEQUENCE, STATUS_THROTTLED,
                              STATUS_NO_MEMORY}) {
        EXPECT_GT(refusedWith(producers, code), 0u) << "no refusal with code " << code;
    }
    std::uint64_t afterStop = refusedWith(producers, STATUS_STOPPING);
    for (const auto& producer : producers) afterStop += producer->acceptedAfterStop();
    EXPECT_GT(afterStop, 0u) << "no producer was still sending while the Core stopped";
    EXPECT_GT(load.requester.cancels(), 0u);
    EXPECT_GT(plugins.answersAccepted(), 0u);
}

void printFigures(const StressLoad& load, const StressPlugins& plugins,
                  const StressSettings& settings, const LoadPeaks& peaks, const StopMark& mark,
                  std::chrono::milliseconds stopTook) {
    std::printf("stress: %.1f s of load, %u producers; the stop took %lld ms; at most %zu "
                "readers answering and %llu payloads held by the sinks at once\n",
                settings.load.count() / 1000.0, settings.producers,
                static_cast<long long>(stopTook.count()), peaks.replySlots,
                figure(peaks.heldBySinks));
    printSends(load);
    printReads(load, plugins, mark);
    printDeliveries(load, plugins);
    std::fflush(stdout);
}
