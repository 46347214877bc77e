// One producer of the stress run: what it sends, the code it expects for
// each send, and what it remembers of its accepted records (producer.h).

#include "producer.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "app/core.h"
#include "poison_allocator.h"

namespace {

// A run of sequenced records holds its opening record and this many more.
constexpr std::uint64_t kMaxFollowing = 766;
// Any handle will do: no producer thread has a reader's reply slot.
constexpr std::uint64_t kSomeHandle = 0x77;
constexpr std::size_t kMaxFiller = 200;
constexpr std::size_t kNotesKept = 20;

const char* streamName(int stream) {
    switch (stream) {
        case HARD_STREAM_SEQUENCED: return "sequenced";
        case HARD_STREAM_PLAIN: return "plain";
        default: return "broadcast";
    }
}

std::string codes(const std::vector<std::int32_t>& allowed) {
    std::string text;
    for (std::int32_t code : allowed) text += (text.empty() ? "" : " or ") + std::to_string(code);
    return text;
}

}  // namespace

Producer::Producer(std::uint32_t index, const RunSignals& signals, const ThrottleWatch& throttle,
                   Pacing pacing)
    : producer(index),
      signals(signals),
      throttle(throttle),
      pacing(std::move(pacing)),
      random(0x5eed + index),
      buffer(PoisonAllocator::kPoisonedSize) {}

void Producer::run() {
    while (!signals.done.load()) {
        sendOne();
        pace();
    }
}

Producer::Send Producer::choose() {
    const unsigned roll = random() % 100;
    Send send;
    if (roll < 45) {
        send.stream = HARD_STREAM_SEQUENCED;
    } else if (roll < 80) {
        send.stream = HARD_STREAM_PLAIN;
    } else if (roll < 92) {
        send.stream = HARD_STREAM_BROADCAST;
    } else if (roll < 96) {
        send.withHandle = true;
    } else {
        send.poisoned = true;
    }
    if (send.stream != HARD_STREAM_SEQUENCED) return send;
    send.opens = opensNext();
    // Seldom, since it closes the sequence, as throttling does: runs must
    // still get long enough to reach their limit.
    send.poisoned = random() % 4000 == 0;
    return send;
}

// A closed sequence is mostly reopened and sometimes sent to without
// reopening; an open one is seldom restarted, so that runs reach their limit.
bool Producer::opensNext() {
    if (!sequenceOpen) return random() % 10 < 7;
    return random() % 2000 == 0;
}

void Producer::sendOne() {
    const Send send = choose();
    ++serial;
    ++sends;
    const CoreMessage message = build(send);
    const ThrottleWatch::Reading start = throttle.before();
    CoreStatus status{sizeof(CoreStatus), 1, 0};
    coreCallback(&message, &status);
    judge(send, status.code, throttle.wasOnSince(start));
}

CoreMessage Producer::build(const Send& send) {
    HardRecord record;
    std::memset(&record, 0, sizeof record);
    std::memcpy(record.mark, HARD_RECORD_MARK, HARD_RECORD_MARK_SIZE);
    record.producer = producer;
    record.stream = static_cast<std::uint32_t>(send.stream);
    record.serial = serial;
    std::copy(std::begin(lastAccepted), std::end(lastAccepted), record.previous);
    const std::size_t length = send.poisoned ? PoisonAllocator::kPoisonedSize
                                             : sizeof record + random() % (kMaxFiller + 1);
    std::memcpy(buffer.data(), &record, sizeof record);
    // A poisoned payload is never copied, so its filler does not matter.
    for (std::size_t at = sizeof record; !send.poisoned && at < length; ++at) {
        buffer[at] = hardFill(serial, static_cast<std::uint32_t>(at));
    }
    static const std::uint64_t flags[HARD_STREAMS] = {HARD_SEQUENCED_FLAGS, HARD_PLAIN_FLAGS,
                                                      HARD_BROADCAST_FLAGS};
    static const std::uint64_t types[HARD_STREAMS] = {HARD_SEQUENCED_TYPE, HARD_PLAIN_TYPE,
                                                      HARD_BROADCAST_TYPE};
    CoreMessage message;
    std::memset(&message, 0, sizeof message);
    message.size = sizeof message;
    message.version = 1;
    message.length = static_cast<std::uint32_t>(length);
    message.payload = buffer.data();
    message.source = HARD_PRODUCER_BASE + producer;
    message.handle = send.withHandle ? kSomeHandle : 0;
    message.flags = flags[send.stream];
    message.type = types[send.stream];
    message.extra[CORE_MESSAGE_SEQUENCE_START] = send.opens ? 1 : 0;
    return message;
}

void Producer::judge(const Send& send, std::int32_t code, bool throttled) {
    std::vector<std::int32_t> allowed = expected(send, throttled);
    // Once the stop has begun the core may refuse anything as undeliverable,
    // before it looks at sequences, handles or payloads.
    if (signals.stopBegan.load()) allowed.push_back(STATUS_STOPPING);
    if (code == STATUS_STOPPING && signals.stopBegan.load()) {
        ++refusedByCode[code];
        return;
    }
    if (std::find(allowed.begin(), allowed.end(), code) == allowed.end()) note(send, code, allowed);
    if (send.stream == HARD_STREAM_SEQUENCED) updateSequence(send, code);
    if (code == STATUS_OK) {
        recordAccepted(send);
    } else {
        ++refusedByCode[code];
    }
}

// The sequence table's checks come first (no open sequence, limit reached),
// then throttling, then the payload copy.
Producer::SequenceOutcome Producer::sequenceOutcome(const Send& send) const {
    if (send.opens) return SequenceOutcome::Admitted;
    if (!sequenceOpen) return SequenceOutcome::NoSequence;
    if (following >= kMaxFollowing) return SequenceOutcome::Overrun;
    return SequenceOutcome::Admitted;
}

std::vector<std::int32_t> Producer::expected(const Send& send, bool throttled) const {
    if (send.withHandle) return {STATUS_CANCELLED};
    if (send.stream != HARD_STREAM_SEQUENCED) return {send.poisoned ? STATUS_NO_MEMORY : STATUS_OK};
    switch (sequenceOutcome(send)) {
        case SequenceOutcome::NoSequence: return {STATUS_NO_SEQUENCE};
        case SequenceOutcome::Overrun: return {STATUS_OVERRUN};
        case SequenceOutcome::Admitted: break;
    }
    std::vector<std::int32_t> allowed{send.poisoned ? STATUS_NO_MEMORY : STATUS_OK};
    if (throttled) allowed.push_back(STATUS_THROTTLED);
    return allowed;
}

// Follows the router's table: an accepted record counts (an opening one
// from 0), a refusal without an open sequence changes nothing, and every
// other refusal closes the sequence.
void Producer::updateSequence(const Send& send, std::int32_t code) {
    if (code == STATUS_OK) {
        following = send.opens ? 0 : following + 1;
        sequenceOpen = true;
    } else if (code != STATUS_NO_SEQUENCE) {
        sequenceOpen = false;
    }
}

void Producer::recordAccepted(const Send& send) {
    ++acceptedByStream[send.stream];
    // Read after the send returned: false means it was queued before the
    // stop began.
    const bool beforeStop = !signals.stopBegan.load();
    if (!beforeStop) ++afterStop;
    for (int kind = 0; kind < HARD_KINDS; ++kind) {
        if (!hardKindTakes(kind, send.stream)) continue;
        lastAccepted[kind] = serial;
        acceptedSerials[kind].push_back(serial);
        if (beforeStop) ++acceptedByCutoff[kind];
    }
}

void Producer::note(const Send& send, std::int32_t code, const std::vector<std::int32_t>& allowed) {
    if (faults++ >= kNotesKept) return;
    std::string what = streamName(send.stream);
    if (send.opens) what += ", opening";
    if (send.poisoned) what += ", payload not copyable";
    if (send.withHandle) what += ", with a read handle";
    what += sequenceOpen ? ", sequence open with " + std::to_string(following) + " following"
                         : ", no open sequence";
    notes.push_back("producer " + std::to_string(producer) + " serial " + std::to_string(serial) +
                    " (" + what + "): code " + std::to_string(code) + ", allowed " +
                    codes(allowed));
}

// The window until the stop begins, one record a millisecond from then on
// (producer.h says why).
void Producer::pace() {
    if (signals.stopBegan.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return;
    }
    if (sends % 32 != 0) return;
    while (congested() && !signals.stopBegan.load() && !signals.done.load()) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

bool Producer::congested() const {
    return acceptedByCutoff[HARD_KIND_ALL] - pacing.delivered(producer) > kWindow ||
           pacing.held() > kHeldAtMost;
}

std::string Producer::judgeSink(int kind, std::uint64_t lastSerial, std::uint64_t records) const {
    const std::string of = "producer " + std::to_string(producer) + ": ";
    const std::vector<std::uint64_t>& accepted = acceptedSerials[kind];
    if (records == 0) return {};
    const auto found = std::lower_bound(accepted.begin(), accepted.end(), lastSerial);
    if (found == accepted.end() || *found != lastSerial) {
        return of + "the last record taken, serial " + std::to_string(lastSerial) +
               ", was never accepted";
    }
    const auto wanted = static_cast<std::uint64_t>(found - accepted.begin()) + 1;
    if (records != wanted) {
        return of + "took " + std::to_string(records) + " records, " + std::to_string(wanted) +
               " were accepted up to its last one";
    }
    return {};
}
