// The stress run's payload allocator: counts every block like the tests'
// CountingAllocator, and refuses every block of one poisoned size, so that
// a producer can ask for a STATUS_NO_MEMORY refusal while everything else
// allocates as usual. No other payload of the run has that size.
#pragma once

#include <atomic>
#include <cstddef>

#include "counting_allocator.h"

class PoisonAllocator : public CountingAllocator {
public:
    // Larger than any record or notice of the run, and an odd number.
    static constexpr std::size_t kPoisonedSize = 65521;

    void* allocate(std::size_t bytes) override {
        if (bytes == kPoisonedSize) {
            ++refusals;
            return nullptr;
        }
        return CountingAllocator::allocate(bytes);
    }

    long refused() const { return refusals.load(); }

private:
    std::atomic<long> refusals{0};
};
