// The words of every report of a plugin call that takes long: while it is
// slow, and at stop when the stop goes on without it. An operator searching
// the log for a plugin's name finds them all alike.
#pragma once

#include <wx/string.h>

#include <chrono>

// "plugin <file> has been in <entry> for <n> seconds".
inline wxString longCallText(const wxString& plugin, const char* entry,
                             std::chrono::milliseconds duration) {
    return wxString::Format("plugin %s has been in %s for %lld seconds", plugin, entry,
                            static_cast<long long>(
                                std::chrono::duration_cast<std::chrono::seconds>(duration).count()));
}

// "plugin <file> returned from <entry> after <n.n> seconds", for a call that
// was named while it ran.
inline wxString returnedCallText(const wxString& plugin, const char* entry,
                                 std::chrono::nanoseconds duration) {
    return wxString::Format("plugin %s returned from %s after %.1f seconds", plugin, entry,
                            std::chrono::duration<double>(duration).count());
}
