// How a message's flags and type select the plugins that receive it.
//
// The selection bits of `flags` (MSG_SELECT_0 to MSG_SELECT_7, then
// MSG_SELECT_8) pick entries 0 to 8 of a plugin's eventMasks; a picked mask
// covers a key when every bit of the key is set in it. The key is the type
// word folded one of two ways: read requests fold the class bits (24-63) one
// place down, queued events one place up. The two rules are separate on
// purpose and each keeps its own direction.
#pragma once

#include <cstdint>

#include "tessard_plugin.h"

namespace subscription {

constexpr std::uint64_t kClassBits = UINT64_C(0xFFFFFFFFFF000000);
constexpr std::uint64_t kKindBits = UINT64_C(0xFFFFFF);

// The router's key for matching a read request.
constexpr std::uint64_t readKey(std::uint64_t type) {
    return ((type & kClassBits) >> 1) | (type & kKindBits);
}

// The event handler's key for matching a queued event.
constexpr std::uint64_t deliveryKey(std::uint64_t type) {
    return ((type & kClassBits) << 1) | (type & kKindBits);
}

constexpr bool covers(std::uint64_t mask, std::uint64_t key) { return (key & mask) == key; }

// Whether any mask that `flags` selects covers `key`. Inline: the fan-out
// asks it once per plugin for every event. Entry 8's bit is not next to
// entry 7's, so the bits are listed.
inline bool selectsAny(const std::uint64_t (&eventMasks)[9], std::uint64_t flags,
                       std::uint64_t key) {
    constexpr std::uint64_t kSelectBits[9] = {MSG_SELECT_0, MSG_SELECT_1, MSG_SELECT_2,
                                              MSG_SELECT_3, MSG_SELECT_4, MSG_SELECT_5,
                                              MSG_SELECT_6, MSG_SELECT_7, MSG_SELECT_8};
    for (int entry = 0; entry < 9; ++entry) {
        if ((flags & kSelectBits[entry]) != 0 && covers(eventMasks[entry], key)) return true;
    }
    return false;
}

}  // namespace subscription
