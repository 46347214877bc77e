#include "monitor/statistics_document.h"

#include <tinyxml.h>

#include <string>

#include "bus/notice_document.h"
#include "tessard_plugin.h"

namespace {

void setCounter(TiXmlElement& element, const char* name, std::uint64_t value) {
    element.SetAttribute(name, std::to_string(value).c_str());
}

void setNumber(TiXmlElement& element, const char* name, std::int64_t value) {
    element.SetAttribute(name, std::to_string(value).c_str());
}

const char* const kOutcomeNames[SenderLedger::kOutcomes] = {
    "Accepted", "Cancelled", "NoSequence", "Overrun", "Throttled", "Stopping", "NoMemory"};

TiXmlElement outcomes(const char* name, const SenderLedger::Counts& counts) {
    TiXmlElement element(name);
    for (int outcome = 0; outcome < SenderLedger::kOutcomes; ++outcome) {
        setCounter(element, kOutcomeNames[outcome], counts[outcome]);
    }
    return element;
}

TiXmlElement calls(const char* entry, const CallTimes::Figures& figures) {
    TiXmlElement element("Calls");
    element.SetAttribute("Entry", entry);
    setCounter(element, "Count", figures.count);
    setCounter(element, "Sampled", figures.sampled);
    setCounter(element, "TotalMicroseconds", figures.totalMicroseconds);
    setCounter(element, "MaxMicroseconds", figures.maxMicroseconds);
    setCounter(element, "P50Microseconds", figures.p50Microseconds);
    setCounter(element, "P99Microseconds", figures.p99Microseconds);
    std::string buckets;
    for (const std::uint64_t count : figures.buckets) {
        if (!buckets.empty()) buckets += ' ';
        buckets += std::to_string(count);
    }
    element.SetAttribute("Buckets", buckets.c_str());
    return element;
}

TiXmlElement server(const FlowFigures& figures, const ServerReadings& readings) {
    TiXmlElement element("Server");
    setCounter(element, "QueueDepth", figures.queueDepth);
    setCounter(element, "QueueHighWater", figures.queueHighWater);
    setCounter(element, "EventsDispatched", figures.eventsDispatched);
    setCounter(element, "EventsRefused", figures.eventsRefused);
    setCounter(element, "EventsDiscarded", figures.eventsDiscarded);
    setCounter(element, "PayloadBytesHeld", figures.payloadBytesHeld);
    setCounter(element, "NoticesSent", figures.noticesSent);
    element.SetAttribute("Throttling", readings.throttling ? 1 : 0);
    if (readings.heapBytes) setCounter(element, "HeapBytes", *readings.heapBytes);
    setCounter(element, "HeapCeiling", readings.heapCeiling);
    setCounter(element, "Plugins", figures.plugins.size());
    return element;
}

TiXmlElement plugin(const PluginFlow& flow) {
    TiXmlElement element("Plugin");
    element.SetAttribute("ID", asSigned32(flow.id));
    element.SetAttribute("Filename", flow.fileName.utf8_string().c_str());
    setCounter(element, "WriteCalls", flow.writes.count);
    setCounter(element, "WriteBytes", flow.writeBytes);
    setCounter(element, "IoctlCalls", flow.ioctls.count);
    setCounter(element, "IoctlBytes", flow.ioctlBytes);
    setCounter(element, "Holds", flow.holds);
    setCounter(element, "HeldBytes", flow.heldBytes);
    setCounter(element, "ReadWorkersStarted", flow.readWorkersStarted);
    setCounter(element, "ReadWorkersRunning", flow.readWorkersRunning);
    element.InsertEndChild(calls("Write", flow.writes));
    element.InsertEndChild(calls("IOCTL", flow.ioctls));
    element.InsertEndChild(calls("Read", flow.reads));
    element.InsertEndChild(outcomes("Sent", flow.sent));
    return element;
}

}  // namespace

void buildStatisticsDocument(TiXmlDocument& document, const FlowFigures& figures,
                             const ServerReadings& readings) {
    TiXmlElement* root = addNoticeRoot(document);
    TiXmlElement statistics("Statistics");
    statistics.SetAttribute("ID", asSigned32(CORE_ID));
    setNumber(statistics, "Time", readings.time);
    setNumber(statistics, "Uptime", readings.uptime);
    setNumber(statistics, "Interval", readings.interval);
    statistics.InsertEndChild(server(figures, readings));
    for (const PluginFlow& flow : figures.plugins) statistics.InsertEndChild(plugin(flow));
    statistics.InsertEndChild(outcomes("Unattributed", figures.unattributed));
    root->InsertEndChild(statistics);
}
