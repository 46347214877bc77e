// Which plugin call the calling thread is in, as the harness's entry-point
// wrappers name it for the length of each call.
//
// Read by the thread itself: by the harness's callback, to tell whose code
// sends, and by the payload fault handler, to tell whose call read past a
// payload. Thread-local in the initial-exec model, so that the fault
// handler reads it without calling into the dynamic loader.
#pragma once

namespace kit {

enum class CallEntry : int { None = 0, Open, Write, Ioctl, Read, Close, Unload };

const char* callEntryName(CallEntry entry);

struct CallScopeState {
    int slot = -1;
    CallEntry entry = CallEntry::None;
};

extern thread_local CallScopeState currentCall __attribute__((tls_model("initial-exec")));

// Names the call for the length of a scope.
class CallScope {
public:
    CallScope(int slot, CallEntry entry) : previous(currentCall) { currentCall = {slot, entry}; }
    ~CallScope() { currentCall = previous; }

    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

private:
    const CallScopeState previous;
};

}  // namespace kit
