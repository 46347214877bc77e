// Memory throttling: the state machine the scheduler thread drives with one
// heap reading a second, and the notices that tell the plugins about it.
//
// Scheduler thread only. `throttling` follows every reading; a low-memory
// period begins with the first low reading and ends 60 seconds after the
// last one.

#include <tinyxml.h>

#include "monitor/monitor.h"
#include "tessard_plugin.h"
#include "bus/notice_document.h"

namespace {

constexpr std::int64_t kRecoverySeconds = 60;

}  // namespace

void Monitor::updateMemoryState(bool low, std::uint64_t now) {
    throttlingFlag.store(low, std::memory_order_relaxed);
    if (low) {
        if (lastLowTime == 0) {
            sink.sendText("available system memory is low, throttling video");
            sendMemoryState(now);
        }
        lastLowTime = now;
        return;
    }
    if (lastLowTime != 0 &&
        static_cast<std::int64_t>(now - lastLowTime) >= kRecoverySeconds) {
        sink.sendText("available system memory ok, not throttling video");
        sendMemoryState(lastLowTime);
        lastLowTime = 0;
    }
}

void Monitor::sendMemoryState(std::uint64_t time) {
    TiXmlDocument document;
    TiXmlElement* root = addNoticeRoot(document);
    auto* memory = static_cast<TiXmlElement*>(root->LinkEndChild(new TiXmlElement("Memory")));
    memory->SetAttribute("ID", asSigned32(CORE_ID));
    memory->SetAttribute("Throttling", throttling() ? 1 : 0);
    memory->SetAttribute("Time", asSigned32(time));
    sink.sendXml(document, MSG_SELECT_2);
}
