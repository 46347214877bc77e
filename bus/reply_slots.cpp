#include "bus/reply_slots.h"

#include "threads/thread.h"

ReplySlot* ReplySlots::slotOfCaller() {
    std::lock_guard<std::mutex> hold(slotLock);
    if (closed) return nullptr;
    auto entry = replyWaiters.find(pt::currentThread());
    return entry == replyWaiters.end() ? nullptr : entry->second.get();
}

void ReplySlots::setInFlight(ReplySlot& slot, const void* buffer) {
    std::lock_guard<std::mutex> hold(slotLock);
    if (slot.buffer == nullptr) ++inFlight;
    slot.buffer = buffer;
}

void ReplySlots::openSlot() {
    std::lock_guard<std::mutex> hold(slotLock);
    auto& slot = replyWaiters[pt::currentThread()];
    if (!slot) slot = std::make_unique<ReplySlot>();
}

void ReplySlots::closeSlot() {
    std::lock_guard<std::mutex> hold(slotLock);
    auto entry = replyWaiters.find(pt::currentThread());
    if (entry == replyWaiters.end()) return;
    if (entry->second->buffer != nullptr) --inFlight;
    replyWaiters.erase(entry);
}

void ReplySlots::closeAll() {
    std::lock_guard<std::mutex> hold(slotLock);
    closed = true;
    for (auto& [thread, slot] : replyWaiters) slot->semaphore.post();
}

void ReplySlots::reopen() {
    std::lock_guard<std::mutex> hold(slotLock);
    closed = false;
}

void ReplySlots::payloadFreed(const void* payload) {
    if (payload == nullptr || inFlight.load() == 0) return;
    std::lock_guard<std::mutex> hold(slotLock);
    for (auto& [thread, slot] : replyWaiters) {
        if (slot->buffer != payload) continue;
        slot->buffer = nullptr;
        --inFlight;
        slot->semaphore.post();
    }
}

std::size_t ReplySlots::slotCount() {
    std::lock_guard<std::mutex> hold(slotLock);
    return replyWaiters.size();
}
