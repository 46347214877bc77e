// Payloads: the life of every payload copy the core makes, from its copy to
// its free, in one place.
//
//  - Copy: a queued message's payload and a reader worker's request payload
//    are copied through the PayloadAllocator, the one seam through which
//    tests make allocation fail; a length above CORE_MAX_PAYLOAD is refused
//    before anything is allocated or read.
//  - Hold: while the event handler hands an event's copy to the plugins, the
//    copy is held under CORE_ID and under every plugin that keeps it beyond
//    its call (the holders' table, payload_holders.h).
//  - Pace: a reader worker's next payload waits on the worker's reply slot
//    until its previous one has been freed (reply_slots.h).
//  - Free: when the last hold is given back the copy is freed, and the
//    reader that sent it may send again.
//
// Any thread comes here: senders through the router, the event handler,
// reader workers, plugins giving holds back. The holders' table and the
// reply slots guard themselves; the allocator must be callable from any
// thread.
#pragma once

#include <cstdint>

#include "bus/payload_allocator.h"
#include "bus/payload_holders.h"
#include "bus/reply_slots.h"
#include "tessard_plugin.h"

class Payloads {
public:
    explicit Payloads(PayloadAllocator& allocator) : allocator(allocator) {}
    // Frees what plugins retained and never gave back: no plugin is left to.
    ~Payloads() { freeRetained(); }

    Payloads(const Payloads&) = delete;
    Payloads& operator=(const Payloads&) = delete;

    // A copy of `length` bytes at `source`, or null when it is refused or
    // there is no memory for it.
    void* copy(const void* source, std::uint32_t length);

    // The holds on the copies being handed out, for the event handler.
    PayloadHolders& holders() { return payloadHolders; }

    // The reply slots of the reader workers.
    ReplySlots& slots() { return replySlots; }
    // Waits until the calling reader worker may have `payload` in flight
    // (its previous payload freed) and records it; false when the caller has
    // no reply slot or the slots are closed. A null payload never waits.
    bool paceCaller(const void* payload);

    // Gives up `holder`'s hold on a copy; the last hold frees it and lets
    // the reader that sent it send its next payload.
    void release(const void* payload, std::uint64_t holder);
    // Frees a copy that nobody holds any more.
    void free(const void* payload);
    // Frees every copy still held.
    void freeRetained();

private:
    // Each part on lines of its own: senders read `allocator` for every
    // copy while the event handler writes the walk's holds several times an
    // event, and reader workers lock the reply slots.
    PayloadAllocator& allocator;
    alignas(64) PayloadHolders payloadHolders{CORE_ID};
    alignas(64) ReplySlots replySlots;
};
