#include "bus/router.h"

namespace {

bool isSequenced(const CoreMessage& message) {
    return (message.flags & MSG_SELECT_0) != 0 && (message.type & MSG_TYPE_SEQUENCED) != 0;
}

bool opensSequence(const CoreMessage& message) {
    return message.extra[CORE_MESSAGE_SEQUENCE_START] == 1;
}

// The throttling state until the Core wires in the real one.
class NeverThrottling : public ThrottleGauge {
public:
    bool throttling() const override { return false; }
};

const NeverThrottling kNeverThrottling;

}  // namespace

Router::Router(PayloadAllocator& allocator, std::size_t queueBytes)
    : payloadLife(allocator), throttle(&kNeverThrottling) {
    queue.limitBytes(queueBytes);
}

std::int32_t Router::routeMessage(const CoreMessage* message, CoreStatus* status) {
    status->code = route(*message);
    return 0;
}

std::int32_t Router::route(const CoreMessage& message) {
    if (message.flags == MSG_RELEASE) {
        payloadLife.release(message.payload, message.source);
    } else if (message.source == 0 && message.flags == MSG_CANCEL) {
        cancelledHandles.cancel(message.handle);
    } else if (message.source == 0) {
        // Its payload is copied for every reader, as an event's would be.
        if (message.length > CORE_MAX_PAYLOAD) return STATUS_NO_MEMORY;
        takeReadRequest(message);
    } else {
        // The core's own notices are counted apart, in sendNotice.
        std::atomic<std::uint64_t>* accepted =
            message.source != CORE_ID ? &senderLedger.acceptedOf(message.source) : nullptr;
        const std::int32_t code = queueEvent(message, accepted);
        if (code != STATUS_OK && accepted != nullptr) senderLedger.countRefusal(message.source, code);
        return code;
    }
    // A release, a cancel or a read request gives the event handler nothing
    // to do, so it is not woken: a recorder releasing every frame would wake
    // it once more a frame.
    return STATUS_OK;
}

void Router::takeReadRequest(const CoreMessage& request) {
    cancelledHandles.revive(request.handle);
    if (readers != nullptr) readers->startRequestWorkers(request);
}

std::int32_t Router::queueEvent(const CoreMessage& message,
                                std::atomic<std::uint64_t>* accepted) {
    // Nothing queued once the stop has begun would ever be delivered.
    if (queue.isClosed()) return STATUS_STOPPING;
    const bool sequenced = isSequenced(message);
    if (sequenced) {
        const std::int32_t refusal =
            sequenceTable.admit(message.source, opensSequence(message), *throttle);
        if (refusal != STATUS_OK) return refusal;
    }
    CoreMessage event = message;
    if (!attachPayloadCopy(event)) {
        if (sequenced) sequenceTable.close(message.source);
        return STATUS_NO_MEMORY;
    }
    if (event.handle != 0 && !paceReader(event)) {
        payloadLife.free(event.payload);
        return STATUS_CANCELLED;
    }
    switch (queue.push(event, accepted)) {
        case EventQueue::Admission::Queued:
            return STATUS_OK;
        case EventQueue::Admission::Closed:
            payloadLife.free(event.payload);
            return STATUS_STOPPING;
        case EventQueue::Admission::Full:
            break;
    }
    return refuseForFullQueue(message, event, sequenced);
}

bool Router::attachPayloadCopy(CoreMessage& event) {
    if (event.payload == nullptr || event.length == 0) {
        event.payload = nullptr;
        event.length = 0;
        return true;
    }
    event.payload = payloadLife.copy(event.payload, event.length);
    return event.payload != nullptr;
}

// A message for a handle passes only from a reader worker of a live handle,
// and waits there until the worker's previous payload has been freed.
bool Router::paceReader(const CoreMessage& event) {
    return !cancelledHandles.isCancelled(event.handle) && payloadLife.paceCaller(event.payload);
}

std::int32_t Router::refuseForFullQueue(const CoreMessage& message, const CoreMessage& event,
                                        bool sequenced) {
    // The copy may have been recorded as a reader's payload in flight:
    // freeing it through the payloads lets that reader send again.
    payloadLife.free(event.payload);
    if (sequenced) sequenceTable.close(message.source);
    queueRefusals.refused(message.source, queue.bytesHeld());
    return STATUS_NO_MEMORY;
}

void Router::reopen() {
    queue.reopen();
    queue.clearWakeups();
    payloadLife.slots().reopen();
}

std::size_t Router::discardQueued() {
    std::size_t discarded = 0;
    for (const CoreMessage& event : queue.takeAll()) {
        payloadLife.free(event.payload);
        ++discarded;
    }
    return discarded;
}
