// A payload allocator for tests: counts the blocks it hands out and can be
// told to fail, so that tests see every payload freed and can inject
// allocation failures. Safe to use from several threads.
#pragma once

#include <atomic>
#include <cstdlib>

#include "bus/payload_allocator.h"

class CountingAllocator : public PayloadAllocator {
public:
    void* allocate(std::size_t bytes) override {
        if (failing.load()) return nullptr;
        void* block = std::malloc(bytes ? bytes : 1);
        if (block) {
            ++live;
            ++total;
        }
        return block;
    }

    void release(void* block) override {
        if (!block) return;
        --live;
        std::free(block);
    }

    // Blocks handed out and not yet given back.
    long liveBlocks() const { return live.load(); }
    long totalBlocks() const { return total.load(); }
    void failFromNowOn(bool fail) { failing = fail; }

private:
    std::atomic<long> live{0};
    std::atomic<long> total{0};
    std::atomic<bool> failing{false};
};
