// FlowFigures: what has flowed through the core since it started, read from
// the counters the parts keep on the message path, for the statistics
// document and the service manager's status line.
//
// Reading takes no lock any sender or the event handler waits for, except
// the payload holders' spinlock for one pass over the table and each
// library's worker lock for a moment. Counters only grow; the rest is a
// value of the moment. Gathered on the housekeeping thread.
#pragma once

#include <wx/string.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "bus/sender_ledger.h"
#include "plugins/call_times.h"
#include "plugins/plugin_table.h"

class Dispatcher;
class Router;

struct PluginFlow {
    std::uint64_t id = 0;
    wxString fileName;
    CallTimes::Figures writes;
    CallTimes::Figures ioctls;
    CallTimes::Figures reads;
    std::uint64_t writeBytes = 0;
    std::uint64_t ioctlBytes = 0;
    std::uint64_t holds = 0;
    std::uint64_t heldBytes = 0;
    std::uint64_t readWorkersStarted = 0;
    std::uint64_t readWorkersRunning = 0;
    SenderLedger::Counts sent{};
};

struct FlowFigures {
    std::uint64_t queueDepth = 0;
    std::uint64_t queueHighWater = 0;
    std::uint64_t eventsDispatched = 0;
    std::uint64_t eventsRefused = 0;
    std::uint64_t eventsDiscarded = 0;
    std::uint64_t payloadBytesHeld = 0;
    std::uint64_t noticesSent = 0;
    std::vector<PluginFlow> plugins;  // in table order
    // Messages from sources that are no plugin's.
    SenderLedger::Counts unattributed{};
};

// Reads the figures of the router, the dispatcher and every plugin in
// `table`. A message counts for the plugin whose id is its source, else for
// the first whose id has the source's low 32 bits (a plugin that sends as
// many streams keeps its own id there), else as unattributed.
FlowFigures gatherFlowFigures(Router& router, const Dispatcher& dispatcher,
                              const PluginTable::Records& table);
