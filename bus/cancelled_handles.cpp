#include "bus/cancelled_handles.h"

void CancelledHandles::cancel(std::uint64_t handle) {
    std::lock_guard<std::mutex> hold(cancelLock);
    if (readersOf.count(handle) != 0) {
        cancelledHandles.insert(handle);
    } else if (recentCancelled.count(handle) == 0) {
        rememberRecentCancel(handle);
    }
}

void CancelledHandles::rememberRecentCancel(std::uint64_t handle) {
    if (recentCancels.size() == kRecentCancels) {
        recentCancelled.erase(recentCancels.front());
        recentCancels.pop_front();
    }
    recentCancels.push_back(handle);
    recentCancelled.insert(handle);
}

void CancelledHandles::revive(std::uint64_t handle) {
    std::lock_guard<std::mutex> hold(cancelLock);
    cancelledHandles.erase(handle);
    recentCancelled.erase(handle);
}

void CancelledHandles::readerStarting(std::uint64_t handle) {
    std::lock_guard<std::mutex> hold(cancelLock);
    ++readersOf[handle];
}

void CancelledHandles::readerEnded(std::uint64_t handle) {
    std::lock_guard<std::mutex> hold(cancelLock);
    const auto entry = readersOf.find(handle);
    if (entry == readersOf.end() || --entry->second > 0) return;
    readersOf.erase(entry);
    cancelledHandles.erase(handle);
}

bool CancelledHandles::cancelledLocked(std::uint64_t handle) const {
    return cancelledHandles.count(handle) != 0 || recentCancelled.count(handle) != 0;
}

bool CancelledHandles::isCancelled(std::uint64_t handle) {
    std::lock_guard<std::mutex> hold(cancelLock);
    return cancelledLocked(handle);
}

std::size_t CancelledHandles::cancelsKept() {
    std::lock_guard<std::mutex> hold(cancelLock);
    return cancelledHandles.size() + recentCancelled.size();
}
