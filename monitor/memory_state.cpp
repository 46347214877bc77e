// Memory throttling: the state machine the scheduler thread drives with one
// heap reading a second, and the notices that tell the plugins about it.
//
// Scheduler thread only. `throttling` follows every reading; a low-memory
// period begins with the first low reading and ends 60 seconds after the
// last one.

#include <tinyxml.h>

#include "app/core.h"
#include "bus/notice_document.h"

namespace {

constexpr std::int64_t kRecoverySeconds = 60;

}  // namespace

void Core::updateMemoryState(bool low, std::uint64_t now) {
    throttling.store(low, std::memory_order_relaxed);
    if (low) {
        if (lastLowMemoryTime == 0) {
            sendText("available system memory is low, throttling video");
            sendMemoryState(now);
        }
        lastLowMemoryTime = now;
        return;
    }
    if (lastLowMemoryTime != 0 &&
        static_cast<std::int64_t>(now - lastLowMemoryTime) >= kRecoverySeconds) {
        sendText("available system memory ok, not throttling video");
        sendMemoryState(lastLowMemoryTime);
        lastLowMemoryTime = 0;
    }
}

void Core::sendMemoryState(std::uint64_t time) {
    TiXmlDocument document;
    TiXmlElement* root = addNoticeRoot(document);
    auto* memory = static_cast<TiXmlElement*>(root->LinkEndChild(new TiXmlElement("Memory")));
    memory->SetAttribute("ID", asSigned32(CORE_ID));
    memory->SetAttribute("Throttling", throttling.load(std::memory_order_relaxed) ? 1 : 0);
    memory->SetAttribute("Time", asSigned32(time));
    sendXml(document, MSG_SELECT_2);
}
