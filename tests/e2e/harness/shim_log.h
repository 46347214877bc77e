// What the preloaded host shim (host_shim.c) recorded of one launch of the
// server: the calls to the system logger and the forks, of every process
// the launch became.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

struct SyslogOpen {
    pid_t pid;
    std::string ident;
    int option;
    int facility;
};

struct SyslogRecord {
    pid_t pid;
    int priority;
    std::string format;
    std::string text;
};

struct ForkRecord {
    pid_t parent;
    pid_t child;
};

class ShimLog {
public:
    explicit ShimLog(std::string path) : path(std::move(path)) {}

    std::vector<SyslogOpen> opens() const;
    std::vector<SyslogRecord> records() const;
    std::vector<pid_t> closes() const;
    std::vector<ForkRecord> forks() const;
    // The two forks of a daemon's launch in the order they happened: the
    // launcher's, then that of the process it forked, which forked the
    // daemon. Each process appends its own record, and the intermediate one
    // may write first, so the file may hold them either way round. Empty
    // unless the records are exactly two that chain.
    std::vector<ForkRecord> forkChain() const;

    // The records whose text is exactly `text`.
    std::vector<SyslogRecord> recordsWithText(const std::string& text) const;
    // Waits until some record's text contains `text`.
    bool waitForText(const std::string& text,
                     std::chrono::milliseconds limit = std::chrono::seconds(30)) const;

private:
    std::vector<std::vector<std::string>> lines() const;

    std::string path;
};
