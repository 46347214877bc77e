#include "kit/inspect/load_child.h"

#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "kit/common/task_census.h"
#include "kit/inspect/findings.h"
#include "kit/inspect/probe_wire.h"

namespace kit {

namespace {

// Set once before Load; read by the callback on any thread.
int childOutput = -1;
std::atomic<bool> loadReturned{false};

// One record, in one write() so that it arrives whole.
template <typename Body>
void writeRecord(wire::Kind kind, const Body& body) {
    struct {
        wire::Header header;
        Body body;
    } record{{kind, sizeof(Body)}, body};
    static_assert(sizeof(record) <= 4096, "a record must fit in one pipe write");
    const ssize_t written = write(childOutput, &record, sizeof(record));
    (void)written;  // a parent that is gone has nobody to tell
}

// The callback the plugin receives: records the message and accepts it.
std::int32_t recordingCallback(const CoreMessage* message, CoreStatus* status) {
    if (status != nullptr) status->code = STATUS_OK;
    if (message == nullptr) return 0;
    wire::Message record{};
    record.length = message->length;
    record.sequenceStart = message->extra[CORE_MESSAGE_SEQUENCE_START];
    record.afterLoad = loadReturned.load() ? 1 : 0;
    record.source = message->source;
    record.handle = message->handle;
    record.flags = message->flags;
    record.type = message->type;
    if (message->payload != nullptr) {
        const std::uint32_t shown = std::min(message->length, wire::kPreviewBytes);
        std::memcpy(record.preview, message->payload, shown);
        record.previewLength = static_cast<std::uint16_t>(shown);
    }
    writeRecord(wire::Kind::Message, record);
    return 0;
}

unsigned resolveExports(void* library) {
    unsigned exports = 0;
    for (int entry = 0; entry < kEntryCount; ++entry) {
        if (dlsym(library, entryName(static_cast<Entry>(entry))) != nullptr) exports |= 1u << entry;
    }
    return exports;
}

// A rejected plugin's threads are counted once they had a moment to end:
// a thread that returns right after Load does is no breach.
std::size_t settledTaskCount(std::size_t before) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    std::size_t now = countTasks();
    while (now > before && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        now = countTasks();
    }
    return now;
}

// A crash ends the child by its signal, so that the parent can name it,
// whatever handlers a sanitizer's runtime installed to report and exit.
void dieOfCrashes() {
    for (int crash : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) signal(crash, SIG_DFL);
}

}  // namespace

void runLoadChild(const std::string& path, int output) {
    childOutput = output;
    dieOfCrashes();
    const std::size_t tasksBefore = countTasks();
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        wire::OpenFailed failed{};
        const char* reason = dlerror();
        std::strncpy(failed.reason, reason != nullptr ? reason : "unknown", sizeof(failed.reason) - 1);
        writeRecord(wire::Kind::OpenFailed, failed);
        _exit(0);
    }
    const unsigned exports = resolveExports(library);
    writeRecord(wire::Kind::Opened, wire::Opened{exports, static_cast<std::uint32_t>(tasksBefore)});
    auto* load = reinterpret_cast<PluginEntryPoint>(dlsym(library, "Load"));
    if (load == nullptr) _exit(0);

    static int coreHandle;
    const LoadContext context{sizeof(LoadContext), 3, &coreHandle, recordingCallback};
    wire::LoadDone done{};
    done.info.size = sizeof(PluginInfo);
    done.info.version = 1;
    const auto start = std::chrono::steady_clock::now();
    done.result = load(&context, &done.info);
    done.microseconds = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
    loadReturned = true;
    const bool rejected = done.result != 0 || done.info.loadError != 0;
    done.tasksAfter =
        static_cast<std::uint32_t>(rejected ? settledTaskCount(tasksBefore) : countTasks());
    writeRecord(wire::Kind::LoadDone, done);
    _exit(0);
}

}  // namespace kit
