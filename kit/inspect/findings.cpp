#include "kit/inspect/findings.h"

namespace kit {

const char* entryName(Entry entry) {
    static const char* const names[kEntryCount] = {"Load", "Unload", "Open", "Close",
                                                   "Read", "Write", "Seek", "IOCTL"};
    return names[static_cast<int>(entry)];
}

}  // namespace kit
