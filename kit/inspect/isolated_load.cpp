#include "kit/inspect/isolated_load.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "kit/inspect/load_child.h"
#include "kit/inspect/probe_wire.h"
#include "plugins/elf_check.h"
#include "plugins/regular_file.h"

namespace kit {

namespace {

using Clock = std::chrono::steady_clock;

// A descriptor closed when it goes out of scope.
class Descriptor {
public:
    explicit Descriptor(int descriptor = -1) : descriptor(descriptor) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return descriptor; }
    void reset() {
        if (descriptor >= 0) close(descriptor);
        descriptor = -1;
    }

private:
    int descriptor;
};

template <typename Body>
bool readBody(const std::string& buffer, std::size_t at, Body& body) {
    if (buffer.size() - at < sizeof(Body)) return false;
    std::memcpy(&body, buffer.data() + at, sizeof(Body));
    return true;
}

void takeMessage(LoadFindings& findings, const wire::Message& record) {
    SentMessage message;
    message.length = record.length;
    message.source = record.source;
    message.handle = record.handle;
    message.flags = record.flags;
    message.type = record.type;
    message.sequenceStart = record.sequenceStart;
    message.afterLoad = record.afterLoad != 0;
    message.preview.assign(record.preview, record.previewLength);
    findings.sent.push_back(message);
}

void takeRecord(LoadFindings& findings, wire::Kind kind, const std::string& buffer,
                std::size_t at) {
    wire::Opened opened;
    wire::OpenFailed failed;
    wire::Message message;
    wire::LoadDone done;
    if (kind == wire::Kind::Opened && readBody(buffer, at, opened)) {
        findings.opened = true;
        findings.exports = opened.exports;
        findings.tasksBefore = opened.tasksBefore;
    } else if (kind == wire::Kind::OpenFailed && readBody(buffer, at, failed)) {
        failed.reason[sizeof(failed.reason) - 1] = '\0';
        findings.openError = failed.reason;
    } else if (kind == wire::Kind::Message && readBody(buffer, at, message)) {
        takeMessage(findings, message);
    } else if (kind == wire::Kind::LoadDone && readBody(buffer, at, done)) {
        findings.loadReturned = true;
        findings.loadResult = done.result;
        findings.info = done.info;
        findings.loadMicroseconds = done.microseconds;
        findings.tasksAfter = done.tasksAfter;
    }
}

// Takes every whole record off the front of `buffer`.
void takeRecords(LoadFindings& findings, std::string& buffer) {
    std::size_t at = 0;
    wire::Header header;
    while (readBody(buffer, at, header) &&
           buffer.size() - at - sizeof(header) >= header.bytes) {
        takeRecord(findings, header.kind, buffer, at + sizeof(header));
        at += sizeof(header) + header.bytes;
    }
    buffer.erase(0, at);
}

// Reads the child's records until it closes the pipe (true) or the
// deadline passes (false).
bool readUntilEnd(int input, Clock::time_point deadline, LoadFindings& findings) {
    std::string buffer;
    char chunk[8192];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd waiting{input, POLLIN, 0};
        if (poll(&waiting, 1, static_cast<int>(left.count())) <= 0) continue;
        const ssize_t got = read(input, chunk, sizeof(chunk));
        if (got == 0) return true;
        if (got < 0) {
            if (errno == EINTR) continue;
            return true;
        }
        buffer.append(chunk, static_cast<std::size_t>(got));
        takeRecords(findings, buffer);
    }
}

void collectChild(pid_t child, bool timedOut, LoadFindings& findings) {
    if (timedOut) kill(-child, SIGKILL);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    // Whatever the plugin left running in the child's group ends with it.
    kill(-child, SIGKILL);
    findings.timedOut = timedOut;
    if (!timedOut && WIFSIGNALED(status)) findings.crashSignal = WTERMSIG(status);
}

}  // namespace

LoadFindings loadIsolated(const std::string& given, std::chrono::seconds timeout) {
    LoadFindings findings;
    findings.path = given;
    // dlopen looks a name without a slash up in its own directories, so a
    // relative name would find another library or none.
    const std::string path = std::filesystem::absolute(given).string();
    findings.timeoutSeconds = static_cast<int>(timeout.count());
    findings.regularFile = isRegularFile(path.c_str());
    if (!findings.regularFile) return findings;
    findings.fitsInFile = elfFitsInFile(path.c_str());
    if (!findings.fitsInFile) return findings;

    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        findings.openError = std::string("no pipe for the child: ") + std::strerror(errno);
        return findings;
    }
    Descriptor input(ends[0]);
    Descriptor output(ends[1]);
    const pid_t child = fork();
    if (child < 0) {
        findings.openError = std::string("no child process: ") + std::strerror(errno);
        return findings;
    }
    if (child == 0) {
        setpgid(0, 0);
        dup2(STDERR_FILENO, STDOUT_FILENO);
        runLoadChild(path, output.get());
    }
    setpgid(child, child);  // either of the two calls wins; both name the same group
    output.reset();
    const bool ended = readUntilEnd(input.get(), Clock::now() + timeout, findings);
    collectChild(child, !ended, findings);
    return findings;
}

}  // namespace kit
