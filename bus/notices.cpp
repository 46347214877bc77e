// The core's own notices to the plugins: XML documents and lines of text,
// sent through the router like any plugin's message, from CORE_ID.
//
// Called on the main thread while plugins load, on the scheduler thread, and
// by whoever else holds the router as its NoticeSink; the router's locking
// applies, and the caller's text is needed only until the call returns.

#include <tinyxml.h>

#include "bus/router.h"

namespace {

CoreMessage noticeOf(const std::string& content, std::uint64_t flags, std::uint64_t type) {
    CoreMessage notice{};
    notice.size = sizeof(CoreMessage);
    notice.version = 1;
    notice.length = static_cast<std::uint32_t>(content.size());
    notice.payload = content.data();
    notice.source = CORE_ID;
    notice.flags = flags;
    notice.type = type;
    return notice;
}

}  // namespace

void Router::sendXml(const TiXmlNode& document, std::uint64_t flags, std::uint64_t type) {
    // TinyXML's string output: no indentation and no line breaks.
    std::string printed;
    printed << document;
    sendNotice(noticeOf(printed, flags, type));
}

void Router::sendText(const std::string& text) {
    sendNotice(noticeOf(text, MSG_SELECT_6, MSG_TYPE_TEXT));
}

void Router::sendNotice(const CoreMessage& notice) {
    // A notice the router cannot copy is lost; there is nobody to tell.
    CoreStatus status{sizeof(CoreStatus), 1, 0};
    notices.fetch_add(1, std::memory_order_relaxed);
    routeMessage(&notice, &status);
}
