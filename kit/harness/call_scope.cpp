#include "kit/harness/call_scope.h"

namespace kit {

thread_local CallScopeState currentCall __attribute__((tls_model("initial-exec")));

const char* callEntryName(CallEntry entry) {
    switch (entry) {
        case CallEntry::Open: return "Open";
        case CallEntry::Write: return "Write";
        case CallEntry::Ioctl: return "IOCTL";
        case CallEntry::Read: return "Read";
        case CallEntry::Close: return "Close";
        case CallEntry::Unload: return "Unload";
        case CallEntry::None: break;
    }
    return "no call of the core's";
}

}  // namespace kit
