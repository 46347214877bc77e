#include "plugins/deployment_check.h"

#include <sys/stat.h>
#include <unistd.h>
#include <wx/log.h>

namespace {

// Why the file at `path` is unsafe, or the empty text.
wxString unsafeBecause(const wxString& path) {
    struct stat status;
    if (stat(path.fn_str(), &status) != 0) return wxString();
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "is writable by group or others";
    if (status.st_uid != 0 && status.st_uid != geteuid()) {
        return wxString::Format("is owned by user %lu, not by root or the server's user",
                                static_cast<unsigned long>(status.st_uid));
    }
    return wxString();
}

void warnIfUnsafe(const char* what, const wxString& path) {
    const wxString reason = unsafeBecause(path);
    if (!reason.empty()) wxLogWarning("%s %s %s", what, path, reason);
}

}  // namespace

void checkPluginsDirectory(const wxString& path) { warnIfUnsafe("plugins directory", path); }

void checkPluginFile(const wxString& path) { warnIfUnsafe("plugin", path); }
