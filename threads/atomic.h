// Atomic exchange, increment and decrement on the runtime's 32-bit flags and
// counters.
//
// Every flag of pt::thread goes from 0 to 1 exactly once, and whoever makes
// the transition acts; the value returned by pexchange tells the caller
// whether it was first. Sequential consistency is used throughout: the flags
// are rare, and their readers on other threads (the stop polling, the
// threads' own loops) must see every write that came before the transition.
#pragma once

#include <atomic>

namespace pt {

inline int pexchange(std::atomic<int>& target, int value) { return target.exchange(value); }

inline int pincrement(std::atomic<int>& target) { return target.fetch_add(1) + 1; }

inline int pdecrement(std::atomic<int>& target) { return target.fetch_sub(1) - 1; }

}  // namespace pt
