// The reply table: which read handles are cancelled, and the reply slot of
// every reader worker that answers a read request.
//
// A reader worker sends its answers for a handle from its own thread; its
// slot lets one payload of that thread be in flight at a time. The router
// (on the worker's thread) waits on the slot before queueing a payload; who
// frees that payload posts the slot. Slots are keyed by the worker's thread
// handle and only that worker opens and closes its own.
//
// A cancel matters only while a reader for its handle may still send, so
// the table counts the readers started for each handle (from the moment the
// router starts one until it ends) and forgets a cancelled handle when its
// last reader has ended. Cancels of handles no reader serves are kept only
// in a short list of the latest kRecentCancels, so that a flood of cancels
// cannot grow the server.
//
// `replyLock` guards every member below and every slot's `buffer`. It is
// held for one lookup or update at a time, and semaphores are posted under
// it but never waited on under it.
#pragma once

#include <pthread.h>

#include <atomic>
#include <deque>
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
    // How many cancels of handles that no reader serves are remembered.
    static constexpr std::size_t kRecentCancels = 1024;

    void cancel(std::uint64_t handle);
    // Makes a cancelled handle live again; nothing for a live one.
    void revive(std::uint64_t handle);

    // A reader for `handle` is being started, and one has ended (or never
    // started). Every start is matched by one end.
    void readerStarting(std::uint64_t handle);
    void readerEnded(std::uint64_t handle);

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
    // Handles remembered as cancelled, served or not.
    std::size_t cancelsKept();

private:
    bool cancelledLocked(std::uint64_t handle) const;
    void rememberRecentCancel(std::uint64_t handle);

    std::mutex replyLock;
    // Cancelled handles that readers still serve.
    std::set<std::uint64_t> cancelledHandles;
    // Readers started and not yet ended, per handle.
    std::map<std::uint64_t, int> readersOf;
    // The latest cancels of handles no reader served, oldest first.
    std::deque<std::uint64_t> recentCancels;
    std::set<std::uint64_t> recentCancelled;
    std::map<pthread_t, std::unique_ptr<ReplySlot>> replyWaiters;
    bool closed = false;                                           // guarded by replyLock
    // How many slots have a payload in flight, so that freeing a payload no
    // reader sent skips the lock. Changed under replyLock.
    std::atomic<int> inFlight{0};
};
