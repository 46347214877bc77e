#include "bus/reply_table.h"

#include "threads/thread.h"

void ReplyTable::cancel(std::uint64_t handle) {
    std::lock_guard<std::mutex> hold(replyLock);
    cancelledHandles.insert(handle);
}

void ReplyTable::revive(std::uint64_t handle) {
    std::lock_guard<std::mutex> hold(replyLock);
    cancelledHandles.erase(handle);
}

ReplySlot* ReplyTable::slotForSender(std::uint64_t handle) {
    std::lock_guard<std::mutex> hold(replyLock);
    if (closed || cancelledHandles.count(handle) != 0) return nullptr;
    auto entry = replyWaiters.find(pt::currentThread());
    return entry == replyWaiters.end() ? nullptr : entry->second.get();
}

void ReplyTable::setInFlight(ReplySlot& slot, const void* buffer) {
    std::lock_guard<std::mutex> hold(replyLock);
    if (slot.buffer == nullptr) ++inFlight;
    slot.buffer = buffer;
}

void ReplyTable::openSlot() {
    std::lock_guard<std::mutex> hold(replyLock);
    auto& slot = replyWaiters[pt::currentThread()];
    if (!slot) slot = std::make_unique<ReplySlot>();
}

void ReplyTable::closeSlot() {
    std::lock_guard<std::mutex> hold(replyLock);
    auto entry = replyWaiters.find(pt::currentThread());
    if (entry == replyWaiters.end()) return;
    if (entry->second->buffer != nullptr) --inFlight;
    replyWaiters.erase(entry);
}

void ReplyTable::closeAll() {
    std::lock_guard<std::mutex> hold(replyLock);
    closed = true;
    for (auto& [thread, slot] : replyWaiters) slot->semaphore.post();
}

void ReplyTable::reopen() {
    std::lock_guard<std::mutex> hold(replyLock);
    closed = false;
}

void ReplyTable::payloadFreed(const void* payload) {
    if (payload == nullptr || inFlight.load() == 0) return;
    std::lock_guard<std::mutex> hold(replyLock);
    for (auto& [thread, slot] : replyWaiters) {
        if (slot->buffer != payload) continue;
        slot->buffer = nullptr;
        --inFlight;
        slot->semaphore.post();
    }
}

bool ReplyTable::isCancelled(std::uint64_t handle) {
    std::lock_guard<std::mutex> hold(replyLock);
    return cancelledHandles.count(handle) != 0;
}

std::size_t ReplyTable::slotCount() {
    std::lock_guard<std::mutex> hold(replyLock);
    return replyWaiters.size();
}
