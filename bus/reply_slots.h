// ReplySlots: the reply slot of every reader worker that answers a read
// request, which paces its answers to one payload in flight.
//
// A reader worker sends its answers for a handle from its own thread. Before
// the router queues a payload the worker sent, it waits on the worker's slot;
// whoever frees that payload posts the slot, which lets the next one go.
// Slots are keyed by the worker's thread handle, and only that worker opens
// and closes its own.
//
// `slotLock` guards `replyWaiters`, `closed` and every slot's `buffer`. It is
// held for one lookup or update at a time; semaphores are posted under it
// but never waited on under it.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>

#include "threads/semaphore.h"

struct ReplySlot {
    pt::semaphore semaphore{1};
    const void* buffer = nullptr;  // guarded by the owner's slotLock
};

class ReplySlots {
public:
    // Opens and closes the calling thread's own slot.
    void openSlot();
    void closeSlot();

    // The calling thread's slot, or null when it has none or slots are
    // closed: its message for a handle is then refused.
    ReplySlot* slotOfCaller();
    // Records that `buffer` is now the slot's payload in flight.
    void setInFlight(ReplySlot& slot, const void* buffer);

    // From now on every message that carries a handle is refused, and every
    // reader waiting to send is woken: once the event handler has stopped,
    // nothing would free their payloads any more. reopen() undoes it.
    void closeAll();
    void reopen();

    // `payload` is about to be freed: every slot waiting for it may send its
    // next payload. Called before the buffer is freed, so that its address
    // cannot yet belong to another slot's payload.
    void payloadFreed(const void* payload);

    std::size_t slotCount();

private:
    std::mutex slotLock;
    std::map<pthread_t, std::unique_ptr<ReplySlot>> replyWaiters;  // guarded by slotLock
    bool closed = false;                                           // guarded by slotLock
    // How many slots have a payload in flight, so that freeing a payload no
    // reader sent skips the lock. Changed under slotLock.
    std::atomic<int> inFlight{0};
};
