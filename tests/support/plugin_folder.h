// A server directory for in-process tests: a temporary directory holding a
// "plugins" directory, with the test tree's plugin libraries copied into it
// under the names a test chooses, and the path of an executable beside it
// (which need not exist) for the Core's exePath.
#pragma once

#include <wx/filename.h>

#include <string>

#include "temp_dir.h"

class PluginFolder {
public:
    PluginFolder();

    // Copies the test plugin `library` (for example "probe") into the plugins
    // directory as `fileName`. A copy, not a link, so that every copy is
    // loaded as a library of its own.
    void install(const std::string& library, const std::string& fileName);
    // Writes a file of arbitrary content into the plugins directory.
    void writePlugin(const std::string& fileName, const std::string& content);

    const std::string& root() const { return directory.path(); }
    std::string pluginsDir() const { return directory / "plugins"; }
    wxFileName exePath() const { return wxFileName(directory / "tessard"); }
    std::string operator/(const std::string& name) const { return directory / name; }

private:
    TempDir directory;
};

// Where the test tree's plugin libraries are built.
std::string testPluginPath(const std::string& library);
