#include "bus/payload_allocator.h"

#include <cstdlib>
#include <cstring>

#include "tessard_plugin.h"

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
    // Refused before anything is allocated or read: a length far beyond the
    // sender's buffer would otherwise cost gigabytes and read past its end.
    if (length < 0 || static_cast<std::uint32_t>(length) > CORE_MAX_PAYLOAD) return nullptr;
    void* copy = allocator.allocate(static_cast<std::size_t>(length));
    if (copy) std::memcpy(copy, source, static_cast<std::size_t>(length));
    return copy;
}
