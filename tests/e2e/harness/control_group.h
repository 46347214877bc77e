// A control group of the first cgroup version that confines a server a test
// floods: made as a child of the test process's own group in one
// controller's hierarchy (mounted at /sys/fs/cgroup/<controller>), and
// removed when the object goes, once the processes put into it have ended.
//
// The server enters its groups before it runs a single instruction of its
// own: the wrapper command of enterGroups() moves itself into them and then
// executes the server, so that the server reads its own limits at start.
#pragma once

#include <string>
#include <vector>

class ControlGroup {
public:
    ControlGroup(const std::string& controller, const std::string& name);
    ~ControlGroup();

    ControlGroup(const ControlGroup&) = delete;
    ControlGroup& operator=(const ControlGroup&) = delete;

    // Whether the group exists: the hierarchy is mounted and writable.
    bool made() const { return !directory.empty(); }
    const std::string& path() const { return directory; }

    // Writes one of the group's control files; false when refused.
    bool set(const std::string& file, const std::string& value) const;
    std::string get(const std::string& file) const;
    // The value of "<key> <number>" in a control file listing such lines
    // (memory.oom_control, memory.stat); -1 when absent.
    long long entry(const std::string& file, const std::string& key) const;

private:
    std::string directory;
};

// A Launch::wrapper that puts itself into every group and runs the server.
std::vector<std::string> enterGroups(const std::vector<const ControlGroup*>& groups);
