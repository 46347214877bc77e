// The reply table: which read handles are cancelled, and the reply slot of
// every reader worker that answers a read request.
//
// A reader worker sends its answers for a handle from its own thread; its
// slot lets one payload of that thread be in flight at a time. The router
// (on the worker's thread) waits on the slot before queueing a payload; who
// frees that payload posts the slot. Slots are keyed by the worker's thread
// handle and only that worker opens and closes its own.
//
// `replyLock` guards `cancelledHandles`, `replyWaiters` and every slot's
// `buffer`. It is held for one lookup or update at a time, and semaphores are
// posted under it but never waited on under it.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "threads/semaphore.h"

struct ReplySlot {
    pt::semaphore semaphore{1};
    const void* buffer = nullptr;  // guarded by the table's replyLock
};

class ReplyTable {
public:
    void cancel(std::uint64_t handle);
    // Makes a cancelled handle live again; nothing for a live one.
    void revive(std::uint64_t handle);

    // The slot through which the calling thread's message for `handle` must
    // pass, or null when the message is refused: the handle is cancelled, or
    // the calling thread is not a reader worker with a slot.
    ReplySlot* slotForSender(std::uint64_t handle);
    // Records that `buffer` is now the slot's payload in flight.
    void setInFlight(ReplySlot& slot, const void* buffer);

    // Opens and closes the calling thread's own slot.
    void openSlot();
    void closeSlot();

    // From now on every message that carries a handle is refused, and every
    // reader waiting to send is woken: once the event handler has stopped,
    // nothing would free their payloads any more. reopen() undoes it.
    void closeAll();
    void reopen();

    // `payload` is about to be freed: every slot waiting for it may send its
    // next payload. Called before the buffer is freed, so that its address
    // cannot yet belong to another slot's payload.
    void payloadFreed(const void* payload);

    bool isCancelled(std::uint64_t handle);
    std::size_t slotCount();

private:
    std::mutex replyLock;
    std::set<std::uint64_t> cancelledHandles;                    // guarded by replyLock
    std::map<pthread_t, std::unique_ptr<ReplySlot>> replyWaiters;  // guarded by replyLock
    bool closed = false;                                           // guarded by replyLock
    // How many slots have a payload in flight, so that freeing a payload no
    // reader sent skips the lock. Changed under replyLock.
    std::atomic<int> inFlight{0};
};
