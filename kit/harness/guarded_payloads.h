// GuardedPayloads: the harness's payload allocator, which makes a plugin's
// read past a payload's end, or after the payload was freed, visible.
//
// Every payload copy the core makes (a queued message's, a Read worker's
// request) comes from here, through the core's PayloadAllocator seam. A copy
// gets pages of its own in a reserved arena, placed so that its last byte is
// the last byte before a page the process may not touch; freed pages are
// made untouchable too. A plugin that reads one byte too many, as a scan for
// a terminator that a payload does not have does, faults there. The fault
// handler (installed once per process, before any other handler it then
// passes foreign faults on to) notes where it happened and which plugin call
// the thread was in, lets the page be read (it reads zeros), and returns, so
// that the plugin goes on and the test reports the breach.
//
// allocate() and release() come from any thread and take `lock`; the fault
// handler reads only the arena's bounds and the per-page states, which are
// atomics, and appends to a fixed ring of fault records.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "bus/payload_allocator.h"

namespace kit {

// One fault in the arena, as the handler saw it.
struct PayloadFault {
    bool afterFree = false;       // in a freed payload's pages, not past an end
    std::uint32_t length = 0;     // the payload's length, past whose end it read
    std::uintptr_t address = 0;   // the byte read
    std::uintptr_t instruction = 0;
    int slot = -1;                // the plugin call the thread was in, or -1
    int entry = 0;                // its CallEntry
};

class GuardedPayloads : public PayloadAllocator {
public:
    // `freed` is told of every block given back, before its pages go.
    explicit GuardedPayloads(std::function<void(const void*)> freed);
    // Unmaps the arena: only once no plugin code can hold a payload.
    ~GuardedPayloads() override;

    GuardedPayloads(const GuardedPayloads&) = delete;
    GuardedPayloads& operator=(const GuardedPayloads&) = delete;

    void* allocate(std::size_t bytes) override;
    void release(void* block) override;

    // Faults seen since the last call, oldest first.
    std::vector<PayloadFault> takeFaults();
    std::size_t liveBlocks();
    // Keeps the arena mapped for the life of the process.
    void leaveMapped() { mappedForGood = true; }

private:
    struct Block {
        std::size_t pages;  // with the guard page
    };

    std::size_t findRoom(std::size_t pages);
    void markPages(std::size_t first, std::size_t count, std::uint32_t state);

    std::function<void(const void*)> freed;
    std::mutex lock;
    std::map<std::size_t, Block> live;  // by first page; guarded by lock
    std::size_t cursor = 0;             // the next page to try; guarded by lock
    bool mappedForGood = false;
};

}  // namespace kit
