// SlowCallWatch: names the plugin calls that take long, while they are
// slow, and again when they return.
//
// The housekeeping thread looks about ten times a second. The event handler
// thread's call is watched through its DeliveryWatch: a call is in progress
// for as long as the handler is inside a plugin and the count of returned
// calls has not moved, so its length is known to within one look, without a
// clock read on the message path. Worker calls are timed by their libraries
// (PluginLibrary::newLongCalls); a worker names its own call's end.
//
// Housekeeping thread only. The library a handler call is in outlives the
// look: the housekeeping thread stops before any plugin is unloaded.
#pragma once

#include <wx/string.h>

#include <chrono>
#include <cstdint>

#include "plugins/plugin_table.h"

class DeliveryWatch;

class SlowCallWatch {
public:
    using Clock = std::chrono::steady_clock;
    // A call that has run this long is named.
    static constexpr std::chrono::seconds kSlow{2};

    explicit SlowCallWatch(const DeliveryWatch& handler) : handler(handler) {}

    // One look at the handler and at the workers of every plugin in `table`.
    void look(const PluginTable::Records& table, Clock::time_point now);
    // How long the handler has been inside its present plugin call, as the
    // looks tell; zero when it is not in one.
    Clock::duration handlerCallLength(Clock::time_point now) const;

private:
    void lookAtHandler(Clock::time_point now);

    const DeliveryWatch& handler;
    std::uint64_t lastReturned = 0;
    bool lastInCall = false;
    // When the handler was first seen in its present call.
    Clock::time_point callSeen{};
    // The handler's call named as slow, while it runs.
    bool named = false;
    wxString namedPlugin;
    const char* namedEntry = "";
};
