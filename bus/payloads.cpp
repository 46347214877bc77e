#include "bus/payloads.h"

namespace {

std::uint64_t addressOf(const void* payload) { return reinterpret_cast<std::uintptr_t>(payload); }

}  // namespace

void* Payloads::copy(const void* source, std::uint32_t length) {
    return copyPayload(allocator, source, static_cast<std::int32_t>(length));
}

bool Payloads::paceCaller(const void* payload) {
    ReplySlot* slot = replySlots.slotOfCaller();
    if (slot == nullptr) return false;
    if (payload != nullptr) {
        // The slot belongs to this thread, so it outlives the wait.
        slot->semaphore.wait();
        replySlots.setInFlight(*slot, payload);
    }
    return true;
}

void Payloads::release(const void* payload, std::uint64_t holder) {
    if (payloadHolders.release(addressOf(payload), holder)) free(payload);
}

void Payloads::free(const void* payload) {
    if (payload == nullptr) return;
    // Waiting readers are told before the buffer goes, while its address
    // cannot yet belong to another payload.
    replySlots.payloadFreed(payload);
    allocator.release(const_cast<void*>(payload));
}

void Payloads::freeRetained() {
    for (std::uint64_t payload : payloadHolders.clear()) free(reinterpret_cast<const void*>(payload));
}
