// One producer thread of the stress run: it sends sequenced records, plain
// records and broadcasts, each with a payload that carries the producer,
// a serial and the chain of hard_bus.h, plus a few records the router must
// refuse (one that names a read handle, one whose payload cannot be
// copied, sequenced records without an open sequence or past its limit).
//
// It keeps its own model of its entry in the Core's sequence table (it is
// the only sender with its id), so it knows the one code each send must
// get; only the throttling refusal depends on timing, and it is allowed
// exactly when throttling was on at some moment of the send. Every other
// code is a fault, noted with what was sent.
//
// Until the stop begins it sends as fast as the sinks take its records and
// give their payloads back: it keeps at most kWindow records waiting for
// the pacing sink, and waits while the sinks together hold more than
// kHeldAtMost payloads not yet given back (a sink that falls behind would
// otherwise hold ever more, and the readers' answers would wait behind
// them). From then on it sends one record a millisecond. The event handler drains the queue before it ends, and
// senders that kept the queue full at full speed could hold the stop up
// for as long as they go on.
//
// For each kind of sink it remembers which of its records were accepted
// before the stop began, which after, and how many, so that the test can
// tell whether a sink got exactly the accepted ones.
//
// The producer's state belongs to its thread until the thread is joined;
// the test reads it only afterwards.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "hard_bus.h"
#include "throttle_watch.h"

// What every thread of the run watches: when the stop began and when to end.
struct RunSignals {
    std::atomic<bool> stopBegan{false};
    std::atomic<bool> done{false};
};

class Producer {
public:
    // How many of its accepted records may wait for the pacing sink before
    // the producer waits, so that the event queue stays bounded.
    static constexpr std::uint64_t kWindow = 4096;
    // How many payloads the sinks together may hold before it waits.
    static constexpr std::uint64_t kHeldAtMost = 16384;

    // What the producer paces itself by.
    struct Pacing {
        // How many of the producer's records the pacing sink has taken.
        std::function<std::uint64_t(std::uint32_t producer)> delivered;
        // How many payloads the sinks hold.
        std::function<std::uint64_t()> held;
    };

    Producer(std::uint32_t index, const RunSignals& signals, const ThrottleWatch& throttle,
             Pacing pacing);

    void run();

    // Why the sink's last record of this producer is not what it should be
    // for a sink of `kind` that got `records` of them; empty when it is. The
    // sink must have taken every accepted record up to its last one; the
    // records after it were discarded at the stop.
    std::string judgeSink(int kind, std::uint64_t lastSerial, std::uint64_t records) const;
    // How many accepted records a sink of `kind` did not get, having got
    // `records`: those discarded at the stop.
    std::uint64_t missedBy(int kind, std::uint64_t records) const {
        return acceptedSerials[kind].size() - records;
    }

    std::uint32_t index() const { return producer; }
    std::uint64_t sent() const { return sends; }
    std::uint64_t acceptedIn(int stream) const { return acceptedByStream[stream]; }
    std::uint64_t acceptedAfterStop() const { return afterStop; }
    const std::map<std::int32_t, std::uint64_t>& refusals() const { return refusedByCode; }
    std::uint64_t faultCount() const { return faults; }
    const std::vector<std::string>& faultNotes() const { return notes; }

private:
    struct Send {
        int stream = HARD_STREAM_PLAIN;
        bool opens = false;
        bool poisoned = false;
        bool withHandle = false;
    };
    // What the producer's model says about one sequenced record.
    enum class SequenceOutcome { NoSequence, Overrun, Admitted };

    Send choose();
    bool opensNext();
    void sendOne();
    CoreMessage build(const Send& send);
    void judge(const Send& send, std::int32_t code, bool throttled);
    std::vector<std::int32_t> expected(const Send& send, bool throttled) const;
    SequenceOutcome sequenceOutcome(const Send& send) const;
    void updateSequence(const Send& send, std::int32_t code);
    void recordAccepted(const Send& send);
    void note(const Send& send, std::int32_t code, const std::vector<std::int32_t>& allowed);
    void pace();
    bool congested() const;

    const std::uint32_t producer;
    const RunSignals& signals;
    const ThrottleWatch& throttle;
    const Pacing pacing;
    std::mt19937 random;
    std::vector<unsigned char> buffer;

    std::uint64_t serial = 0;  // of the send being made
    std::uint64_t sends = 0;
    bool sequenceOpen = false;
    std::uint64_t following = 0;  // sequenced records since the opening one
    // Per kind of sink: the serial of the last accepted record it takes,
    // how many were accepted before the stop began, and the serials of all
    // it takes that were accepted, in order.
    std::uint64_t lastAccepted[HARD_KINDS] = {};
    std::uint64_t acceptedByCutoff[HARD_KINDS] = {};
    std::vector<std::uint64_t> acceptedSerials[HARD_KINDS];

    std::uint64_t acceptedByStream[HARD_STREAMS] = {};
    std::uint64_t afterStop = 0;
    std::map<std::int32_t, std::uint64_t> refusedByCode;
    std::uint64_t faults = 0;
    std::vector<std::string> notes;
};
