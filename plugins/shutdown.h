// Plugin shutdown: the close pass, then the unload pass.
//
// Main thread only, during Core stop, after the scheduler and the event
// handler have ended. Plugin threads may still call the router meanwhile,
// from inside Close too; they see the table only through its snapshots.
#pragma once

#include <chrono>

class Core;

// How long the unload pass waits for a plugin's workers before it leaves the
// plugin's library mapped.
constexpr std::chrono::seconds kWorkerGrace{10};

// Sorts the table by descending close key (entry 5 of eventMasks) and calls
// every plugin's Close in that order. From then on no new worker is started
// for a plugin. Always true.
bool closePlugins(Core& core);

// In the same order, calls every plugin's Unload and closes its library once
// its workers have returned, then empties the table. Always true.
bool unloadPlugins(Core& core, std::chrono::milliseconds workerGrace = kWorkerGrace);
