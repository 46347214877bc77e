// PayloadHolders: for every payload buffer being fanned out, the IDs of those
// still holding it.
//
// The event handler thread holds each buffer it hands out for the length of
// its walk of the plugin table, and each plugin holds it for the length of
// its call and, if it retains the buffer, until it gives it back; any
// plugin thread may give a hold back. Key 0 (no payload) is never stored.
//
// The walk's own holds are the fast path: the buffer being walked is
// `walkKey`, whose presence stands for the event handler's hold, and the
// plugin being called is `walkHolder`. A walk begins under the lock; the
// plugin's hold is set and cleared by the event handler thread without it,
// and a release takes that hold with a compare-and-swap under the lock. A
// plugin that retains the buffer has its hold moved into the table, under
// the lock and by compare-and-swap, unless a release took it first. To
// anybody who asks, the walk's holds are ordinary pairs of the multimap;
// only the event handler itself can end its own hold.
//
// Every other operation takes `lock` for its own few instructions and calls
// nothing while holding it.
//
// The table is an open-addressing hash table with linear probing, keyed by
// the payload's address; each slot keeps the holders of one buffer in a
// vector whose storage stays with the slot, so once the table has grown to
// its working size a delivery allocates nothing. Removing a key shifts the
// following entries of its run back, so no tombstones accumulate.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "threads/spinlock.h"

class PayloadHolders {
public:
    // `walker` is the id of the event handler's own hold, which no plugin
    // has.
    explicit PayloadHolders(std::uint64_t walker);

    // Records one more hold of `value` on `key`. Holds are added only by the
    // event handler thread (or while it does not run).
    void add(std::uint64_t key, std::uint64_t value);
    // Drops every hold of `value` on `key`. True when this call dropped at
    // least one and none remains on `key`: the caller must free the buffer.
    // Key 0 always gives true and changes nothing.
    bool release(std::uint64_t key, std::uint64_t value);

    // The event handler thread's walk of one buffer (`key` may be 0):
    // begins with its own hold, holds for each plugin around its call, and
    // ends by dropping its own hold. endWalk() is true when no hold is left,
    // so that the caller must free the buffer.
    void beginWalk(std::uint64_t key, std::uint32_t bytes = 0);
    // holdForCall and endCall are inline: the fan-out passes through both
    // for every plugin it calls, and mostly nothing is retained.
    void holdForCall(std::uint64_t holder) { walkHolder.store(holder, std::memory_order_release); }
    // The call of `holder` returned; with `retained` its hold outlives the
    // walk (unless the plugin gave it back during the call).
    void endCall(std::uint64_t holder, bool retained) {
        if (retained) {
            keepRetainedHold(holder);
        } else {
            // Whether or not a release took the hold first, it is gone now.
            walkHolder.store(walker, std::memory_order_release);
        }
    }
    bool endWalk();

    // Drops every hold and returns the keys that had any, once each.
    std::vector<std::uint64_t> clear();

    std::size_t size();
    std::size_t holdsOn(std::uint64_t key);

    // What `holder` keeps now: how many buffers, and their bytes. For the
    // statistics; the walk's own holds are not counted.
    struct Kept {
        std::uint64_t buffers = 0;
        std::uint64_t bytes = 0;
    };
    Kept keptBy(std::uint64_t holder);
    // The bytes of every buffer somebody keeps beyond its walk.
    std::uint64_t keptBytes();

private:
    struct Slot {
        std::uint64_t key = 0;  // 0: free
        std::uint32_t bytes = 0;  // the buffer's length, as the walk knew it
        std::vector<std::uint64_t> holders;
    };

    std::size_t home(std::uint64_t key) const;
    std::size_t next(std::size_t index) const { return (index + 1) & (slots.size() - 1); }
    // The slot holding `key`, or the free slot where it would go.
    std::size_t find(std::uint64_t key) const;
    void insert(std::uint64_t key, std::uint64_t value);
    void erase(std::size_t index);
    void grow();
    // Takes the hold of the plugin being called, if `value` is that plugin.
    // Under `lock`, for the buffer being walked.
    bool takeWalkHold(std::uint64_t value);
    // Moves the hold of the plugin whose call just returned into the table,
    // unless it was given back during the call.
    void keepRetainedHold(std::uint64_t holder);
    // How many holds the walk has on `key`: its own, and its plugin's.
    std::size_t walkHolds(std::uint64_t key) const;

    const std::uint64_t walker;
    // Written by the event handler thread; taken by releases under `lock`.
    // `walkHolder` is `walker` while no plugin is being called.
    std::atomic<std::uint64_t> walkKey{0};
    std::atomic<std::uint64_t> walkHolder;
    // The walked buffer's length. Event handler thread only.
    std::uint32_t walkBytes = 0;
    pt::spinlock lock;
    std::vector<Slot> slots;  // guarded by lock; the size is a power of two
    // Slots with a key: changed under `lock`, read without it by the event
    // handler thread, the only one that adds, so that a walk whose buffer
    // nobody retained ends without the lock.
    std::atomic<std::size_t> used{0};
};
