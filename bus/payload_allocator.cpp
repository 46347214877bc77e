#include "bus/payload_allocator.h"

#include <cstdlib>
#include <cstring>

namespace {

class HeapAllocator : public PayloadAllocator {
public:
    void* allocate(std::size_t bytes) override { return std::malloc(bytes); }
    void release(void* block) override { std::free(block); }
};

}  // namespace

PayloadAllocator& heapAllocator() {
    static HeapAllocator heap;
    return heap;
}

void* copyPayload(PayloadAllocator& allocator, const void* source, std::int32_t length) {
    if (length < 0) return nullptr;
    void* copy = allocator.allocate(static_cast<std::size_t>(length));
    if (copy) std::memcpy(copy, source, static_cast<std::size_t>(length));
    return copy;
}
