// CancelledHandles: which read handles are cancelled, for the router.
//
// A cancel matters only while a reader for its handle may still send, so
// the table counts the readers started for each handle (from the moment one
// is started until it ends) and forgets a cancelled handle when its last
// reader has ended. Cancels of handles no reader serves are kept only in a
// short list of the latest kRecentCancels, so that a flood of cancels cannot
// grow the server. A read request naming a handle makes it live again.
//
// Entered by the router on any sender's thread and by reader workers.
// `cancelLock` guards every member; it is held for one lookup or update.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>

class CancelledHandles {
public:
    // How many cancels of handles that no reader serves are remembered.
    static constexpr std::size_t kRecentCancels = 1024;

    void cancel(std::uint64_t handle);
    // Makes a cancelled handle live again; nothing for a live one.
    void revive(std::uint64_t handle);

    // A reader for `handle` is being started, and one has ended (or never
    // started). Every start is matched by one end.
    void readerStarting(std::uint64_t handle);
    void readerEnded(std::uint64_t handle);

    bool isCancelled(std::uint64_t handle);
    // Handles remembered as cancelled, served or not.
    std::size_t cancelsKept();

private:
    bool cancelledLocked(std::uint64_t handle) const;
    void rememberRecentCancel(std::uint64_t handle);

    std::mutex cancelLock;
    // Cancelled handles that readers still serve.
    std::set<std::uint64_t> cancelledHandles;
    // Readers started and not yet ended, per handle.
    std::map<std::uint64_t, int> readersOf;
    // The latest cancels of handles no reader served, oldest first, and the
    // same as a set for lookups (a revived handle leaves the set only).
    std::deque<std::uint64_t> recentCancels;
    std::set<std::uint64_t> recentCancelled;
};
