#include "monitor/slow_call_watch.h"

#include <wx/log.h>

#include "dispatch/delivery_watch.h"
#include "plugins/call_words.h"
#include "plugins/plugin_library.h"

void SlowCallWatch::look(const PluginTable::Records& table, Clock::time_point now) {
    lookAtHandler(now);
    for (const PluginRecord& record : table) {
        if (!record.library) continue;
        for (const PluginLibrary::LongCall& call : record.library->newLongCalls(kSlow)) {
            wxLogWarning("%s", longCallText(record.fileName, call.entry,
                                            std::chrono::duration_cast<std::chrono::milliseconds>(
                                                call.duration)));
        }
    }
}

void SlowCallWatch::lookAtHandler(Clock::time_point now) {
    const std::uint64_t returned = handler.callsReturned();
    const bool inCall = handler.inPluginCall();
    const bool sameCall = inCall && lastInCall && returned == lastReturned;
    if (!sameCall) {
        if (named) {
            wxLogWarning("%s", returnedCallText(namedPlugin, namedEntry, now - callSeen));
            named = false;
        }
        callSeen = now;
    } else if (!named && now - callSeen >= kSlow) {
        // The name is copied: the message is logged again once the call is
        // over, when the handler may be in another plugin.
        const PluginLibrary* library = handler.callingPlugin();
        namedPlugin = library != nullptr ? library->fileName() : wxString("?");
        namedEntry = handler.callingEntry();
        named = true;
        wxLogWarning("%s", longCallText(namedPlugin, namedEntry,
                                        std::chrono::duration_cast<std::chrono::milliseconds>(
                                            now - callSeen)));
    }
    lastReturned = returned;
    lastInCall = inCall;
}

SlowCallWatch::Clock::duration SlowCallWatch::handlerCallLength(Clock::time_point now) const {
    return lastInCall ? now - callSeen : Clock::duration::zero();
}
