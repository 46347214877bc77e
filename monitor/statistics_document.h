// The statistics document: what has flowed through the core, as the notice
// of type MSG_TYPE_STATISTICS carries it to the plugins that ask for it.
// Its layout is the plugin guide's ("The statistics document"); counters are
// unsigned 64-bit decimals, ids signed 32-bit ones as in every document of
// the core's.
#pragma once

#include <cstdint>
#include <optional>

#include "monitor/flow_figures.h"

class TiXmlDocument;

// The moment's readings that are not the flow's own.
struct ServerReadings {
    std::int64_t time = 0;    // seconds since the epoch
    std::int64_t uptime = 0;  // seconds since the core started
    std::int64_t interval = 0;
    bool throttling = false;
    std::optional<std::uint64_t> heapBytes;  // absent where the allocator cannot tell
    std::uint64_t heapCeiling = 0;
};

// Fills the empty `document`.
void buildStatisticsDocument(TiXmlDocument& document, const FlowFigures& figures,
                             const ServerReadings& readings);
