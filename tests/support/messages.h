// Building the records tests send, zero-filled with their headers set.
#pragma once

#include <cstring>
#include <string>

#include "tessard_plugin.h"

inline CoreMessage message(std::uint64_t source, std::uint64_t flags, std::uint64_t type,
                           const std::string* payload = nullptr) {
    CoreMessage m;
    std::memset(&m, 0, sizeof m);
    m.size = sizeof(CoreMessage);
    m.version = 1;
    m.source = source;
    m.flags = flags;
    m.type = type;
    if (payload) {
        m.payload = payload->data();
        m.length = static_cast<std::uint32_t>(payload->size());
    }
    return m;
}

inline CoreMessage sequenced(std::uint64_t source, bool opens, const std::string* payload = nullptr) {
    CoreMessage m = message(source, MSG_SELECT_0, MSG_TYPE_SEQUENCED | 0x5, payload);
    m.extra[CORE_MESSAGE_SEQUENCE_START] = opens ? 1 : 0;
    return m;
}

inline PluginInfo pluginInfo(std::uint64_t id) {
    PluginInfo info;
    std::memset(&info, 0, sizeof info);
    info.id = id;
    return info;
}
