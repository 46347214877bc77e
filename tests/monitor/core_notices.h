// The core's notices as a test sees them: taken off the event queue of a
// Core that was not started (nothing else drains it), or compared with what
// a plugin received. Also the exact texts of the settings document.
#pragma once

#include <string>
#include <vector>

#include "app/core.h"

struct Notice {
    std::uint64_t source = 0;
    std::uint64_t handle = 0;
    std::uint64_t flags = 0;
    std::uint64_t type = 0;
    std::string payload;

    bool isText(const std::string& text) const {
        return type == MSG_TYPE_TEXT && payload == text;
    }
    bool isMemoryState() const {
        return type == MSG_TYPE_XML && payload.find("<Zelt><Memory") != std::string::npos;
    }
};

// Takes every event off the Core's queue, in order, and frees the payload
// copies it owned.
inline std::vector<Notice> takeNotices(Core& core) {
    std::vector<Notice> taken;
    CoreMessage event;
    while (core.router().events().pop(event)) {
        Notice notice;
        notice.source = event.source;
        notice.handle = event.handle;
        notice.flags = event.flags;
        notice.type = event.type;
        if (event.payload != nullptr) {
            notice.payload.assign(static_cast<const char*>(event.payload), event.length);
        }
        core.router().payloads().free(event.payload);
        taken.push_back(notice);
    }
    return taken;
}

// "core.xml" as TinyXML saves it: a line per node, children indented by four
// spaces, one trailing newline.
inline std::string settingsFileText(int throttling) {
    return "<?xml ?>\n<Zelt Delta=\"0\">\n    <Memory ID=\"-2147483648\" Throttling=\"" +
           std::to_string(throttling) + "\" />\n</Zelt>\n";
}

// The same document as the plugins receive it: on one line, no terminator.
inline std::string settingsNoticeText(int throttling) {
    return "<?xml ?><Zelt Delta=\"0\"><Memory ID=\"-2147483648\" Throttling=\"" +
           std::to_string(throttling) + "\" /></Zelt>";
}

// The memory state document the scheduler sends with MSG_SELECT_2.
inline std::string memoryStateText(int throttling, long long time) {
    return "<?xml ?><Zelt><Memory ID=\"-2147483648\" Throttling=\"" + std::to_string(throttling) +
           "\" Time=\"" + std::to_string(time) + "\" /></Zelt>";
}
