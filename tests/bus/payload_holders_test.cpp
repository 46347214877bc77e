// The payload holder table: the multimap's own semantics, the event
// handler's walk of one buffer, and both together under real threads.

#include "bus/payload_holders.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace {

constexpr std::uint64_t kWalker = 0x80000000;
constexpr std::uint64_t kBuffer = 0x7f0000001000;
constexpr std::uint64_t kOther = 0x7f0000002000;

TEST(PayloadHolders, LastReleaseOfAKeyFreesIt) {
    PayloadHolders holders(kWalker);
    holders.add(kBuffer, 1);
    holders.add(kBuffer, 2);
    holders.add(kBuffer, 2);
    holders.add(kOther, 1);
    EXPECT_EQ(holders.holdsOn(kBuffer), 3u);
    EXPECT_FALSE(holders.release(kBuffer, 2)) << "holder 1 still holds it";
    EXPECT_EQ(holders.holdsOn(kBuffer), 1u) << "both of holder 2's pairs go";
    EXPECT_FALSE(holders.release(kBuffer, 2)) << "a second release frees nothing";
    EXPECT_FALSE(holders.release(kBuffer, 3)) << "a holder that holds nothing frees nothing";
    EXPECT_TRUE(holders.release(kBuffer, 1));
    EXPECT_FALSE(holders.release(kBuffer, 1));
    EXPECT_EQ(holders.size(), 1u);
    EXPECT_TRUE(holders.release(0, 1)) << "no payload: nothing to hold";
    holders.add(0, 1);
    EXPECT_EQ(holders.size(), 1u);
}

TEST(PayloadHolders, GrowsAndShrinksWithoutLosingKeys) {
    PayloadHolders holders(kWalker);
    constexpr std::uint64_t kKeys = 5000;
    for (std::uint64_t k = 1; k <= kKeys; ++k) holders.add(k * 48, k % 7);
    EXPECT_EQ(holders.size(), kKeys);
    // Remove every other key, so that runs are broken up in the middle.
    for (std::uint64_t k = 1; k <= kKeys; k += 2) EXPECT_TRUE(holders.release(k * 48, k % 7));
    for (std::uint64_t k = 2; k <= kKeys; k += 2) EXPECT_EQ(holders.holdsOn(k * 48), 1u) << k;
    std::vector<std::uint64_t> left = holders.clear();
    EXPECT_EQ(left.size(), kKeys / 2);
    EXPECT_EQ(holders.size(), 0u);
}

TEST(PayloadHolders, WalkHoldsLikePairs) {
    PayloadHolders holders(kWalker);
    holders.beginWalk(kBuffer);
    EXPECT_EQ(holders.holdsOn(kBuffer), 1u) << "the walk's own hold";
    holders.holdForCall(5);
    EXPECT_EQ(holders.holdsOn(kBuffer), 2u);
    holders.endCall(5, false);
    holders.holdForCall(6);
    holders.endCall(6, true);
    EXPECT_EQ(holders.holdsOn(kBuffer), 2u) << "the walk, and holder 6 that kept it";
    EXPECT_FALSE(holders.endWalk()) << "holder 6 still holds it";
    EXPECT_EQ(holders.holdsOn(kBuffer), 1u);
    EXPECT_TRUE(holders.release(kBuffer, 6));
}

TEST(PayloadHolders, ReleaseDuringTheCallDropsThePluginsHold) {
    PayloadHolders holders(kWalker);
    holders.beginWalk(kBuffer);
    holders.holdForCall(5);
    EXPECT_FALSE(holders.release(kBuffer, 5)) << "the walk still holds it";
    EXPECT_EQ(holders.holdsOn(kBuffer), 1u);
    // The plugin then asks to keep what it already gave back: it holds nothing.
    holders.endCall(5, true);
    EXPECT_EQ(holders.holdsOn(kBuffer), 1u);
    EXPECT_TRUE(holders.endWalk());
}

TEST(PayloadHolders, NobodyButTheWalkEndsTheWalksHold) {
    PayloadHolders holders(kWalker);
    holders.beginWalk(kBuffer);
    EXPECT_FALSE(holders.release(kBuffer, kWalker));
    EXPECT_EQ(holders.holdsOn(kBuffer), 1u);
    EXPECT_TRUE(holders.endWalk());
}

TEST(PayloadHolders, WalkWithoutPayloadHoldsNothing) {
    PayloadHolders holders(kWalker);
    holders.beginWalk(0);
    holders.holdForCall(5);
    holders.endCall(5, true);
    EXPECT_EQ(holders.size(), 0u);
    EXPECT_TRUE(holders.endWalk());
}

// A plugin keeps a buffer and gives it back from its own thread just as the
// walk ends: exactly one of the two must find the last hold gone.
TEST(PayloadHolders, ReleaseRacingTheEndOfTheWalkFreesOnce) {
    constexpr int kRounds = 20000;
    constexpr std::uint64_t kKeeper = 7;
    PayloadHolders holders(kWalker);
    std::atomic<int> round{-1};
    std::atomic<int> released{-1};
    std::atomic<int> frees{0};
    std::thread keeper([&] {
        for (int r = 0; r < kRounds; ++r) {
            while (round.load() < r) {
            }
            if (holders.release(kBuffer + 64 * (r % 4), kKeeper)) ++frees;
            released = r;
        }
    });
    for (int r = 0; r < kRounds; ++r) {
        const std::uint64_t key = kBuffer + 64 * (r % 4);
        holders.beginWalk(key);
        holders.holdForCall(kKeeper);
        holders.endCall(kKeeper, true);
        round = r;  // the keeper may give it back from now on
        if (holders.endWalk()) ++frees;
        while (released.load() < r) {
        }
        ASSERT_EQ(frees.load(), r + 1) << "round " << r;
    }
    keeper.join();
    EXPECT_EQ(holders.size(), 0u);
}

// One thread walks buffers as the event handler does, calling the same
// plugins for every buffer; other threads release, as plugin threads do, the
// buffers their plugin kept, while the walk calls that same plugin for newer
// buffers. They also give back, again and again, the buffer of the walk in
// progress that their plugin does not keep: such a release holds nothing,
// and must not take the plugin's hold on the next buffer either. Every
// buffer must be freed exactly once, and never while a hold on it is left:
// each hold is counted on the buffer itself.
TEST(PayloadHolders, WalksAndReleasesOnOtherThreadsFreeEachBufferOnce) {
    constexpr int kBuffers = 20000;
    constexpr std::uint64_t kPlugins = 4;
    struct Buffer {
        std::atomic<int> holds{0};   // holds the model says are left
        std::atomic<int> freed{0};
        std::atomic<std::uint64_t> keptBy{0};  // bit per plugin that retained it
    };
    std::vector<Buffer> buffers(kBuffers);
    auto keyOf = [&](int i) { return reinterpret_cast<std::uint64_t>(&buffers[i]); };
    auto freeIt = [&](int i) {
        EXPECT_EQ(buffers[i].holds.load(), 0) << "freed while held";
        EXPECT_EQ(buffers[i].freed.fetch_add(1), 0) << "freed twice";
    };
    PayloadHolders holders(kWalker);
    std::atomic<int> published{-1};  // the last buffer whose walk ended
    std::atomic<int> walking{-1};    // the buffer being walked
    std::atomic<bool> done{false};

    std::vector<std::thread> releasers;
    for (std::uint64_t plugin = 1; plugin <= kPlugins; ++plugin) {
        releasers.emplace_back([&, plugin] {
            std::mt19937 random(static_cast<unsigned>(plugin));
            int next = 0;
            while (next < kBuffers) {
                const int current = walking.load();
                if (current >= 0 && (buffers[current].keptBy.load() & (1u << plugin)) == 0) {
                    EXPECT_FALSE(holders.release(keyOf(current), plugin));
                }
                if (next > published.load()) {
                    // Done is set after the last buffer was published: look again.
                    if (done && next > published.load()) break;
                    std::this_thread::yield();
                    continue;
                }
                const std::uint64_t bit = 1u << plugin;
                if ((buffers[next].keptBy.load() & bit) != 0) {
                    buffers[next].holds.fetch_sub(1);
                    if (holders.release(keyOf(next), plugin)) freeIt(next);
                }
                ++next;
            }
        });
    }

    std::mt19937 random(99);
    for (int i = 0; i < kBuffers; ++i) {
        Buffer& buffer = buffers[i];
        buffer.holds = 1;  // the walk's own
        // Decided before the walk is seen, so that a releaser knows what its
        // plugin keeps.
        for (std::uint64_t plugin = 1; plugin <= kPlugins; ++plugin) {
            if (random() % 3 != 0) continue;
            buffer.holds.fetch_add(1);
            buffer.keptBy.fetch_or(1u << plugin);
        }
        holders.beginWalk(keyOf(i));
        walking = i;
        for (std::uint64_t plugin = 1; plugin <= kPlugins; ++plugin) {
            holders.holdForCall(plugin);
            holders.endCall(plugin, (buffer.keptBy.load() & (1u << plugin)) != 0);
        }
        walking = -1;
        buffer.holds.fetch_sub(1);
        if (holders.endWalk()) freeIt(i);
        published = i;
    }
    done = true;
    for (std::thread& releaser : releasers) releaser.join();
    for (int i = 0; i < kBuffers; ++i) {
        ASSERT_EQ(buffers[i].freed.load(), 1) << "buffer " << i << " was never freed";
    }
    EXPECT_EQ(holders.size(), 0u);
}

}  // namespace
