// Which plugin entry point the calling thread is inside.
//
// Every thread of the core that calls into a plugin names the call here for
// as long as it lasts: the event handler for each delivery, a worker for its
// one call, the main thread for Load and Open, the stop's helper threads for
// Close and Unload. Only the thread itself and its signal handler read it:
// when a plugin crashes the server, the crash report names the plugin file
// and the entry point before the process dies. Plain thread-local pointers
// to text that outlives the call, so that the handler may read them.
#pragma once

struct CallSite {
    const char* plugin = nullptr;  // the library's file name
    const char* entry = nullptr;   // "Write", "Read", ...
};

inline thread_local CallSite currentCallSite;

// Names a call for the length of a scope.
class InPluginCall {
public:
    InPluginCall(const char* plugin, const char* entry) : previous(currentCallSite) {
        currentCallSite = CallSite{plugin, entry};
    }
    ~InPluginCall() { currentCallSite = previous; }

    InPluginCall(const InPluginCall&) = delete;
    InPluginCall& operator=(const InPluginCall&) = delete;

private:
    const CallSite previous;
};
