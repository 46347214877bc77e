#include "shim_log.h"

#include <sstream>
#include <thread>

#include "temp_dir.h"

namespace {

std::vector<std::string> splitTabs(const std::string& line) {
    std::vector<std::string> fields;
    std::string::size_type start = 0;
    for (;;) {
        const auto tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab - start));
        if (tab == std::string::npos) return fields;
        start = tab + 1;
    }
}

pid_t pidOf(const std::string& field) { return static_cast<pid_t>(std::stol(field)); }

}  // namespace

std::vector<std::vector<std::string>> ShimLog::lines() const {
    std::vector<std::vector<std::string>> result;
    std::istringstream content(readFile(path));
    std::string line;
    while (std::getline(content, line)) result.push_back(splitTabs(line));
    return result;
}

std::vector<SyslogOpen> ShimLog::opens() const {
    std::vector<SyslogOpen> result;
    for (const auto& fields : lines()) {
        if (fields.size() == 5 && fields[0] == "open") {
            result.push_back({pidOf(fields[1]), fields[2], std::stoi(fields[3]), std::stoi(fields[4])});
        }
    }
    return result;
}

std::vector<SyslogRecord> ShimLog::records() const {
    std::vector<SyslogRecord> result;
    for (const auto& fields : lines()) {
        if (fields.size() == 5 && fields[0] == "log") {
            result.push_back({pidOf(fields[1]), std::stoi(fields[2]), fields[3], fields[4]});
        }
    }
    return result;
}

std::vector<pid_t> ShimLog::closes() const {
    std::vector<pid_t> result;
    for (const auto& fields : lines()) {
        if (fields.size() == 2 && fields[0] == "close") result.push_back(pidOf(fields[1]));
    }
    return result;
}

std::vector<ForkRecord> ShimLog::forks() const {
    std::vector<ForkRecord> result;
    for (const auto& fields : lines()) {
        if (fields.size() == 3 && fields[0] == "fork") {
            result.push_back({pidOf(fields[1]), pidOf(fields[2])});
        }
    }
    return result;
}

std::vector<ForkRecord> ShimLog::forkChain() const {
    std::vector<ForkRecord> chain = forks();
    if (chain.size() != 2) return {};
    if (chain[1].child == chain[0].parent) std::swap(chain[0], chain[1]);
    if (chain[0].child != chain[1].parent) return {};
    return chain;
}

std::vector<SyslogRecord> ShimLog::recordsWithText(const std::string& text) const {
    std::vector<SyslogRecord> result;
    for (const SyslogRecord& record : records()) {
        if (record.text == text) result.push_back(record);
    }
    return result;
}

bool ShimLog::waitForText(const std::string& text, std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        for (const SyslogRecord& record : records()) {
            if (record.text.find(text) != std::string::npos) return true;
        }
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}
