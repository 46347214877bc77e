// How a payload says who sent it and in which order.
//
// The first 8 bytes hold the producer index (top 16 bits) and the message's
// sequence number (low 48 bits); the last 8 bytes hold the same word mixed
// with a fixed key. A receiver reads only these two words. A message whose
// two ends disagree was torn or overwritten: the hub did not deliver its own
// copy while the producer went on using its buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace bench {

constexpr std::uint64_t kTailKey = UINT64_C(0xA5C35A3C96E11E69);
constexpr std::uint64_t kSequenceBits = (UINT64_C(1) << 48) - 1;
// What a producer writes over both ends once a send has returned, so that a
// late read of its buffer shows as corrupt.
constexpr std::uint64_t kReusedWord = UINT64_C(0xDEADDEADDEADDEAD);

struct Stamp {
    bool intact = false;  // both ends agree
    std::uint32_t producer = 0;
    std::uint64_t sequence = 0;
};

inline std::uint64_t stampWord(std::uint32_t producer, std::uint64_t sequence) {
    return (static_cast<std::uint64_t>(producer) << 48) | (sequence & kSequenceBits);
}

inline void writeEnds(std::uint8_t* buffer, std::size_t bytes, std::uint64_t head,
                      std::uint64_t tail) {
    std::memcpy(buffer, &head, sizeof head);
    std::memcpy(buffer + bytes - sizeof tail, &tail, sizeof tail);
}

inline void writeStamp(std::uint8_t* buffer, std::size_t bytes, std::uint32_t producer,
                       std::uint64_t sequence) {
    const std::uint64_t head = stampWord(producer, sequence);
    writeEnds(buffer, bytes, head, head ^ kTailKey);
}

inline Stamp readStamp(const void* data, std::size_t bytes) {
    std::uint64_t head;
    std::uint64_t tail;
    const auto* bytesIn = static_cast<const std::uint8_t*>(data);
    std::memcpy(&head, bytesIn, sizeof head);
    std::memcpy(&tail, bytesIn + bytes - sizeof tail, sizeof tail);
    return Stamp{tail == (head ^ kTailKey), static_cast<std::uint32_t>(head >> 48),
                 head & kSequenceBits};
}

}  // namespace bench
