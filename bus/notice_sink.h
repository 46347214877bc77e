// NoticeSink: how the parts of the core send notices of their own to the
// plugins, without knowing more of the bus than this.
//
// A notice is an ordinary message from CORE_ID through the router: an XML
// document (root "Zelt", printed on one line) or a line of text. The caller
// keeps owning what it passes; it is copied before the call returns. Any
// thread.
#pragma once

#include <cstdint>
#include <string>

#include "tessard_plugin.h"

class TiXmlNode;

class NoticeSink {
public:
    virtual ~NoticeSink() = default;
    // The document, of `type`, with `flags`.
    virtual void sendXml(const TiXmlNode& document, std::uint64_t flags, std::uint64_t type) = 0;
    void sendXml(const TiXmlNode& document, std::uint64_t flags) {
        sendXml(document, flags, MSG_TYPE_XML);
    }
    // The text, MSG_TYPE_TEXT, with MSG_SELECT_6.
    virtual void sendText(const std::string& text) = 0;
};
