#include "bus/reply_table.h"

#include "threads/thread.h"

void ReplyTable::cancel(std::uint64_t handle) {
    std::lock_guard<std::mutex> hold(replyLock);
    if (readersOf.count(handle) != 0) {
        cancelledHandles.insert(handle);
    } else if (recentCancelled.count(handle) == 0) {
        rememberRecentCancel(handle);
    }
}

void ReplyTable::rememberRecentCancel(std::uint64_t handle) {
    if (recentCancels.size() == kRecentCancels) {
        // A handle revived since is no longer in the set.
        recentCancelled.erase(recentCancels.front());
        recentCancels.pop_front();
    }
    recentCancels.push_back(handle);
    recentCancelled.insert(handle);
}

void ReplyTable::revive(std::uint64_t handle) {
    std::lock_guard<std::mutex> hold(replyLock);
    cancelledHandles.erase(handle);
    // Its entry in the list of recent cancels stays until it is pushed out;
    // only the lookup set forgets it.
    recentCancelled.erase(handle);
}

void ReplyTable::readerStarting(std::uint64_t handle) {
    std::lock_guard<std::mutex> hold(replyLock);
    ++readersOf[handle];
}

void ReplyTable::readerEnded(std::uint64_t handle) {
    std::lock_guard<std::mutex> hold(replyLock);
    const auto entry = readersOf.find(handle);
    if (entry == readersOf.end() || --entry->second > 0) return;
    readersOf.erase(entry);
    cancelledHandles.erase(handle);
}

bool ReplyTable::cancelledLocked(std::uint64_t handle) const {
    return cancelledHandles.count(handle) != 0 || recentCancelled.count(handle) != 0;
}

ReplySlot* ReplyTable::slotForSender(std::uint64_t handle) {
    std::lock_guard<std::mutex> hold(replyLock);
    if (closed || cancelledLocked(handle)) return nullptr;
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
    return cancelledLocked(handle);
}

std::size_t ReplyTable::cancelsKept() {
    std::lock_guard<std::mutex> hold(replyLock);
    return cancelledHandles.size() + recentCancelled.size();
}

std::size_t ReplyTable::slotCount() {
    std::lock_guard<std::mutex> hold(replyLock);
    return replyWaiters.size();
}
