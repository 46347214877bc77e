#include "app/close_on_exec.h"

#include <dirent.h>
#include <fcntl.h>

#include <cstdlib>

void markDescriptorsCloseOnExec() {
    DIR* listing = opendir("/proc/self/fd");
    if (listing == nullptr) return;
    const int own = dirfd(listing);
    while (const dirent* entry = readdir(listing)) {
        char* end = nullptr;
        const long descriptor = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || end == entry->d_name || descriptor <= 2 || descriptor == own) continue;
        const int flags = fcntl(static_cast<int>(descriptor), F_GETFD);
        if (flags >= 0) fcntl(static_cast<int>(descriptor), F_SETFD, flags | FD_CLOEXEC);
    }
    closedir(listing);
}
