// The directory of one run: its own HOME, TMPDIR and results folder, under
// the harness's scratch directory. Removed when the object goes, unless
// keep() was called.
#pragma once

#include <map>
#include <string>

namespace bench {

class RunDirectory {
public:
    RunDirectory(const std::string& scratch, const std::string& name);
    ~RunDirectory();
    RunDirectory(const RunDirectory&) = delete;
    RunDirectory& operator=(const RunDirectory&) = delete;

    const std::string& path() const { return root; }
    std::string results() const { return root + "/results"; }
    std::string file(const std::string& name) const { return root + "/" + name; }
    // HOME and TMPDIR for a process of this run.
    std::map<std::string, std::string> ownEnvironment() const;
    void keep() { kept = true; }

private:
    std::string root;
    bool kept = false;
};

}  // namespace bench
