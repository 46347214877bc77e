#include "bus/subscription.h"

#include "tessard_plugin.h"

namespace subscription {

namespace {

// Selection bit of each mask entry, in the order they are tested.
constexpr std::uint64_t kSelectBits[9] = {MSG_SELECT_0, MSG_SELECT_1, MSG_SELECT_2,
                                          MSG_SELECT_3, MSG_SELECT_4, MSG_SELECT_5,
                                          MSG_SELECT_6, MSG_SELECT_7, MSG_SELECT_8};

}  // namespace

bool selectsAny(const std::uint64_t (&eventMasks)[9], std::uint64_t flags, std::uint64_t key) {
    for (int entry = 0; entry < 9; ++entry) {
        if ((flags & kSelectBits[entry]) != 0 && covers(eventMasks[entry], key)) return true;
    }
    return false;
}

}  // namespace subscription
