// Plugin shutdown: the close pass, then the unload pass.
//
// Main thread only, during Core stop, after the scheduler and the event
// handler have ended or been given up on. Plugin threads may still call the
// router meanwhile, from inside Close too; they see the table only through
// its snapshots.
//
// Every Close and Unload runs on a thread of its own and is waited for as
// long as the stop clock allows: a call that does not return is named in a
// warning, its plugin's library stays loaded, and the stop goes on with the
// next plugin. A plugin whose Close did not return gets no Unload.
#pragma once

#include <chrono>

#include "plugins/stop_clock.h"

class Core;

// How long the stop waits for any one plugin call.
constexpr std::chrono::seconds kCallGrace{10};

// Sorts the table by descending close key (entry 5 of eventMasks) and calls
// every plugin's Close in that order. From then on no new worker is started
// for a plugin. Always true.
bool closePlugins(Core& core, const StopClock& clock = StopClock(kCallGrace));

// In the same order, calls every plugin's Unload and closes its library once
// its workers have returned, then empties the table. Always true.
bool unloadPlugins(Core& core, const StopClock& clock = StopClock(kCallGrace));
