#include "monitor/flow_figures.h"

#include "bus/router.h"
#include "dispatch/dispatcher.h"

namespace {

void add(SenderLedger::Counts& into, const SenderLedger::Counts& counts) {
    for (std::size_t outcome = 0; outcome < into.size(); ++outcome) into[outcome] += counts[outcome];
}

// The plugin a source's messages count for, or null.
PluginFlow* senderOf(std::vector<PluginFlow>& plugins, std::uint64_t source) {
    for (PluginFlow& plugin : plugins) {
        if (plugin.id == source) return &plugin;
    }
    for (PluginFlow& plugin : plugins) {
        if (static_cast<std::uint32_t>(plugin.id) == static_cast<std::uint32_t>(source)) {
            return &plugin;
        }
    }
    return nullptr;
}

PluginFlow flowOf(PayloadHolders& holders, const PluginRecord& record) {
    PluginLibrary& library = *record.library;
    const PluginStatistics& statistics = library.statistics();
    PluginFlow flow;
    flow.id = record.info.id;
    flow.fileName = record.fileName;
    flow.writes = statistics.writes.figures();
    flow.ioctls = statistics.ioctls.figures();
    flow.reads = statistics.reads.figures();
    flow.writeBytes = statistics.writeBytes.load(std::memory_order_relaxed);
    flow.ioctlBytes = statistics.ioctlBytes.load(std::memory_order_relaxed);
    const PayloadHolders::Kept kept = holders.keptBy(record.info.id);
    flow.holds = kept.buffers;
    flow.heldBytes = kept.bytes;
    flow.readWorkersStarted = statistics.readWorkersStarted.load(std::memory_order_relaxed);
    flow.readWorkersRunning = static_cast<std::uint64_t>(library.readWorkersRunning());
    return flow;
}

}  // namespace

FlowFigures gatherFlowFigures(Router& router, const Dispatcher& dispatcher,
                              const PluginTable::Records& table) {
    FlowFigures figures;
    EventQueue& queue = router.events();
    figures.queueDepth = queue.depth();
    figures.queueHighWater = queue.highWater();
    figures.eventsDispatched = dispatcher.eventsDispatched();
    figures.eventsDiscarded = dispatcher.eventsDiscarded();
    PayloadHolders& holders = router.payloads().holders();
    figures.payloadBytesHeld = queue.bytesHeld() + holders.keptBytes();
    figures.noticesSent = router.noticesSent();
    for (const PluginRecord& record : table) {
        if (record.library) figures.plugins.push_back(flowOf(holders, record));
    }
    SenderLedger::Counts others{};
    for (const auto& [source, counts] : router.senders().senders(others)) {
        PluginFlow* plugin = senderOf(figures.plugins, source);
        add(plugin != nullptr ? plugin->sent : figures.unattributed, counts);
        for (std::size_t outcome = SenderLedger::Cancelled; outcome < counts.size(); ++outcome) {
            figures.eventsRefused += counts[outcome];
        }
    }
    add(figures.unattributed, others);
    for (std::size_t outcome = SenderLedger::Cancelled; outcome < others.size(); ++outcome) {
        figures.eventsRefused += others[outcome];
    }
    return figures;
}
