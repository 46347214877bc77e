// Where the core's payload copies come from and go back to.
//
// Every payload the core copies (a queued message's, a reader worker's
// request) is allocated and freed through one PayloadAllocator, so that the
// fault-injection tests can make allocation fail. The server itself only
// ever uses heapAllocator(); the allocator must be callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

class PayloadAllocator {
public:
    virtual ~PayloadAllocator() = default;
    // A block of `bytes` bytes, or null when there is no memory for it.
    virtual void* allocate(std::size_t bytes) = 0;
    // Gives back a block from allocate(); null is ignored.
    virtual void release(void* block) = 0;
};

// The process heap (tcmalloc in the plain build). Stateless.
PayloadAllocator& heapAllocator();

// A copy of `length` bytes at `source`, or null when the allocator has no
// memory for it or `length` is above CORE_MAX_PAYLOAD. `length` is a signed
// count, as senders' records hold it: a value of 0x80000000 or more cannot be
// allocated.
void* copyPayload(PayloadAllocator& allocator, const void* source, std::int32_t length);
