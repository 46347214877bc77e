// The message router: the one entry through which every message reaches the
// core, from the plugins' callback and from the core's own notices.
//
// It runs on the sender's thread, any number of them at once, and may be
// re-entered from a delivery. It takes the sequence table's, the reply
// table's and the event queue's locks one after the other, never two at
// once, and never blocks except where a reader worker waits for its previous
// payload to be freed. Every outcome is a status code; nothing throws.

#include "app/core.h"
#include "bus/subscription.h"
#include "dispatch/plugin_thread.h"

namespace {

bool isSequenced(const CoreMessage& message) {
    return (message.flags & MSG_SELECT_0) != 0 && (message.type & MSG_TYPE_SEQUENCED) != 0;
}

bool opensSequence(const CoreMessage& message) {
    return message.extra[CORE_MESSAGE_SEQUENCE_START] == 1;
}

}  // namespace

std::int32_t coreCallback(const CoreMessage* message, CoreStatus* status) {
    return theCore->routeMessage(message, status);
}

std::int32_t Core::routeMessage(const CoreMessage* message, CoreStatus* status) {
    status->code = route(*message);
    return 0;
}

std::int32_t Core::route(const CoreMessage& message) {
    if (message.flags == MSG_RELEASE) {
        releasePayload(message.payload, message.source);
    } else if (message.source == 0 && message.flags == MSG_CANCEL) {
        replies.cancel(message.handle);
    } else if (message.source == 0) {
        startReaders(message);
    } else {
        return queueEvent(message);
    }
    eventQueue.wake();
    return STATUS_OK;
}

void Core::startReaders(const CoreMessage& request) {
    replies.revive(request.handle);
    const std::uint64_t key = subscription::readKey(request.type);
    const PluginTable::Snapshot table = plugins.snapshot();
    for (const PluginRecord& plugin : *table) {
        if (!plugin.library || plugin.info.readPolling == 0) continue;
        if (!subscription::selectsAny(plugin.info.eventMasks, request.flags, key)) continue;
        startRequestReader(*this, plugin, request);
    }
}

std::int32_t Core::queueEvent(const CoreMessage& message) {
    // Nothing queued once the stop has begun would ever be delivered.
    if (eventQueue.isClosed()) return STATUS_STOPPING;
    const bool sequenced = isSequenced(message);
    if (sequenced) {
        const std::int32_t refusal =
            sequenceTable.admit(message.source, opensSequence(message), throttling);
        if (refusal != STATUS_OK) return refusal;
    }
    CoreMessage event = message;
    if (!attachPayloadCopy(event)) {
        if (sequenced) sequenceTable.close(message.source);
        return STATUS_NO_MEMORY;
    }
    if (event.handle != 0 && !paceReader(event)) {
        payloadAllocator.release(const_cast<void*>(event.payload));
        return STATUS_CANCELLED;
    }
    switch (eventQueue.push(event)) {
        case EventQueue::Admission::Queued:
            return STATUS_OK;
        case EventQueue::Admission::Closed:
            freePayload(event.payload);
            return STATUS_STOPPING;
        case EventQueue::Admission::Full:
            break;
    }
    // The copy may have been recorded as a reader's payload in flight:
    // freeing it through the reply table lets that reader send again.
    freePayload(event.payload);
    if (sequenced) sequenceTable.close(message.source);
    queueRefusals.refused(message.source, eventQueue.bytesHeld());
    return STATUS_NO_MEMORY;
}

bool Core::attachPayloadCopy(CoreMessage& event) {
    if (event.payload == nullptr || event.length == 0) {
        event.payload = nullptr;
        event.length = 0;
        return true;
    }
    event.payload = copyPayload(payloadAllocator, event.payload,
                                static_cast<std::int32_t>(event.length));
    return event.payload != nullptr;
}

bool Core::paceReader(const CoreMessage& event) {
    ReplySlot* slot = replies.slotForSender(event.handle);
    if (slot == nullptr) return false;
    if (event.payload != nullptr) {
        // The slot belongs to this thread, so it outlives the wait.
        slot->semaphore.wait();
        replies.setInFlight(*slot, event.payload);
    }
    return true;
}
