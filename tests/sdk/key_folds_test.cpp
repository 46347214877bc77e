// The SDK's key folds and mask checks against the router's and the event
// handler's own: a plugin that builds its masks with the header's helpers
// must subscribe to exactly what the core then delivers.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "bus/subscription.h"
#include "tessard_plugin.h"

namespace {

// Type words at the edges of the two folds: the kind bits' top bit (23),
// the class bits' lowest (24) and highest (63), and the types in use.
std::vector<std::uint64_t> edgeTypes() {
    std::vector<std::uint64_t> types = {0,
                                        1,
                                        UINT64_C(0x800000),
                                        UINT64_C(0x1000000),
                                        UINT64_C(0x1800000),
                                        UINT64_C(0x8000000000000000),
                                        UINT64_C(0xFFFFFFFFFFFFFFFF),
                                        MSG_TYPE_TEXT,
                                        MSG_TYPE_XML,
                                        MSG_TYPE_STATISTICS,
                                        UINT64_C(0x1000100),
                                        UINT64_C(0x1000300)};
    for (int bit = 0; bit < 64; bit += 7) types.push_back(UINT64_C(1) << bit);
    return types;
}

// Catches: the header's folds or its "covers" drifting from the core's, so
// that a plugin built with tessardDeliveryKey or tessardTakesRead would miss
// events or read requests the core meant for it (or take others').
TEST(KeyFolds, HelpersFoldAndMatchAsTheCoreDoes) {
    const std::vector<std::uint64_t> types = edgeTypes();
    for (std::uint64_t type : types) {
        EXPECT_EQ(tessardDeliveryKey(type), subscription::deliveryKey(type)) << std::hex << type;
        EXPECT_EQ(tessardReadKey(type), subscription::readKey(type)) << std::hex << type;
        for (std::uint64_t mask : types) {
            EXPECT_EQ(tessardTakesEvent(mask, type) != 0,
                      subscription::covers(mask, subscription::deliveryKey(type)))
                << std::hex << mask << " " << type;
            EXPECT_EQ(tessardTakesRead(mask, type) != 0,
                      subscription::covers(mask, subscription::readKey(type)))
                << std::hex << mask << " " << type;
        }
    }
    // The guide's worked rows: the recorder's frame and request masks, the
    // console's memory-state mask, and the mask that does not take it.
    EXPECT_TRUE(tessardTakesEvent(tessardDeliveryKey(0x1000100), 0x1000100));
    EXPECT_TRUE(tessardTakesRead(tessardReadKey(0x1000300), 0x1000300));
    EXPECT_EQ(tessardReadKey(0x1000300), UINT64_C(0x800300));
    EXPECT_TRUE(tessardTakesEvent(UINT64_C(0x2000010), MSG_TYPE_XML));
    EXPECT_FALSE(tessardTakesEvent(UINT64_C(0x1000010), MSG_TYPE_XML));
}

}  // namespace
