#include "kit/harness/harness.h"

#include <stdlib.h>
#include <unistd.h>
#include <wx/init.h>

#include <cstdio>
#include <filesystem>
#include <thread>

#include "kit/harness/call_scope.h"

namespace kit {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::atomic<bool> harnessExists{false};
std::atomic<Harness*> liveHarness{nullptr};
std::atomic<int> callbacksInFlight{0};

// How long the harness waits for the core's housekeeping, and for the
// plugins to finish what was queued when the stop begins.
constexpr std::chrono::seconds kPatience{30};
constexpr std::chrono::seconds kStopDrain{10};
constexpr std::chrono::seconds kThreadGrace{2};

// The callback every plugin receives in Load.
std::int32_t harnessCallback(const CoreMessage* message, CoreStatus* status) {
    const auto caller = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
    callbacksInFlight.fetch_add(1);
    Harness* harness = liveHarness.load();
    if (harness != nullptr) {
        harness->fromPlugin(*message, *status, caller);
    } else {
        status->code = STATUS_STOPPING;
    }
    callbacksInFlight.fetch_sub(1);
    return 0;
}

// The core's log lines, kept for the test and shown on standard error.
class HarnessLog : public wxLog {
public:
    explicit HarnessLog(Journal& journal) : journal(journal) {}

protected:
    void DoLogRecord(wxLogLevel, const wxString& message, const wxLogRecordInfo&) override {
        const std::string line = message.utf8_string();
        journal.log(line);
        std::fprintf(stderr, "tessard harness: core: %s\n", line.c_str());
    }

private:
    Journal& journal;
};

std::string makeDirectory() {
    const char* temporary = getenv("TMPDIR");
    std::string pattern = std::string(temporary != nullptr ? temporary : "/tmp") +
                          "/tessard-harness-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return std::string();
    fs::create_directory(fs::path(pattern) / "plugins");
    return pattern;
}

bool answersHandle(const CoreMessage& message) {
    return message.handle != 0 && message.source != 0 && message.flags != MSG_RELEASE;
}

std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

}  // namespace

Harness* Harness::create() {
    if (harnessExists.exchange(true)) return nullptr;
    const std::string directory = makeDirectory();
    char previous[4096];
    if (directory.empty() || getcwd(previous, sizeof previous) == nullptr ||
        chdir(directory.c_str()) != 0) {
        harnessExists.store(false);
        return nullptr;
    }
    auto* harness = new Harness(directory, previous);
    liveHarness.store(harness);
    return harness;
}

void Harness::destroy(Harness* harness) {
    if (harness == nullptr) return;
    harness->stop();
    liveHarness.store(nullptr);
    const auto deadline = Clock::now() + kPatience;
    while (callbacksInFlight.load() != 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    delete harness;
    harnessExists.store(false);
}

Harness::Harness(const std::string& directory, const std::string& previousDirectory)
    : serverDirectory(directory),
      previousDirectory(previousDirectory),
      payloads([this](const void* payload) { journal.forgetPayload(payload); }),
      readings(static_cast<std::int64_t>(std::time(nullptr))),
      interposer(journal) {
    wxInitialize();
    logTarget = std::make_unique<HarnessLog>(journal);
    previousLogTarget = wxLog::SetActiveTarget(logTarget.get());
    host = std::make_unique<HarnessHost>(wxFileName(directory + "/tessard"), payloads, readings,
                                         harnessCallback);
}

Harness::~Harness() {
    host.reset();
    wxLog::SetActiveTarget(previousLogTarget);
    wxUninitialize();
    if (chdir(previousDirectory.c_str()) != 0) std::perror(previousDirectory.c_str());
    std::error_code ignored;
    fs::remove_all(serverDirectory, ignored);
}

int Harness::addPlugin(const std::string& path) {
    if (stage != Stage::Created) return -1;
    std::error_code error;
    // A relative path is the caller's: relative to the working directory
    // the harness found and left.
    const fs::path source = fs::path(previousDirectory) / path;
    const fs::path target = fs::path(serverDirectory) / "plugins" / source.filename();
    fs::copy_file(source, target, fs::copy_options::overwrite_existing, error);
    return error ? -1 : 0;
}

int Harness::start() {
    if (stage != Stage::Created) return -1;
    stage = Stage::Started;
    host->load();
    PluginTable::Records records = host->plugins().records().edit();
    interposer.wrap(records, serverDirectory + "/plugins");
    host->plugins().records().publish(records);
    const std::uint64_t readsBefore = readings.reads();
    host->open();
    // The first pass started the start-up Reads and sent the memory setting.
    awaitHousekeepingPass(readsBefore);
    const PluginTable::Snapshot table = host->plugins().snapshot();
    for (const PluginRecord& plugin : *table) {
        loaded.push_back(PluginEntry{plugin.info.id, plugin.fileName.utf8_string(), plugin.openCode});
    }
    return static_cast<int>(loaded.size());
}

bool Harness::awaitHousekeepingPass(std::uint64_t readsBefore) {
    const auto deadline = Clock::now() + kPatience;
    while (readings.reads() < readsBefore + 2) {
        if (Clock::now() > deadline || !host->monitor().isRunning()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

bool Harness::runUntilIdle(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    bool idle = false;
    while (stage == Stage::Started) {
        host->handOut();
        if ((idle = host->idle()) || Clock::now() > deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    collectFaults();
    return idle;
}

bool Harness::waitFor(int (*condition)(void*), void* context, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    bool met = false;
    while (!(met = condition(context) != 0) && Clock::now() < deadline) {
        if (stage == Stage::Started) host->handOut();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    collectFaults();
    return met;
}

std::size_t Harness::stop() {
    if (stage == Stage::Started) {
        runUntilIdle(kStopDrain);
        stopping.store(true);
        host->close();
        collectFaults();
        checkRetained();
        host->unload();
        checkThreads();
        collectFaults();
    }
    stage = Stage::Stopped;
    return journal.breachCount();
}

std::int32_t Harness::send(const CoreMessage& message) {
    CoreStatus status{sizeof(CoreStatus), 1, 0};
    host->router().routeMessage(&message, &status);
    return status.code;
}

std::int32_t Harness::read(std::uint64_t handle, std::uint64_t flags, std::uint64_t type,
                           const void* payload, std::uint32_t length) {
    journal.expectReplies(handle);
    CoreMessage request{};
    request.size = sizeof(CoreMessage);
    request.version = 1;
    request.length = length;
    request.payload = payload;
    request.handle = handle;
    request.flags = flags;
    request.type = type;
    return send(request);
}

void Harness::advanceClock(std::int64_t seconds) {
    const std::uint64_t readsBefore = readings.reads();
    readings.advance(seconds);
    if (stage == Stage::Started) awaitHousekeepingPass(readsBefore);
}

// ---- Messages from plugins ----------------------------------------------

// Whose message it is: the plugin whose code called, else the plugin whose
// call the thread is in, else the plugin whose id is the source.
int Harness::senderSlot(const CoreMessage& message, std::uintptr_t caller) const {
    const int byCode = interposer.slotOfCode(caller);
    if (byCode >= 0) return byCode;
    if (currentCall.slot >= 0) return currentCall.slot;
    return interposer.slotOfSource(message.source);
}

void Harness::fromPlugin(const CoreMessage& message, CoreStatus& status, std::uintptr_t caller) {
    const int slot = senderSlot(message, caller);
    const bool fromReader = host->router().payloads().slots().slotOfCaller() != nullptr;
    checkSender(slot, message, fromReader);
    // The hold is counted off before the core frees the payload, which
    // forgets every count on it.
    if (message.flags == MSG_RELEASE) journal.released(interposer.slotOfId(message.source), message.payload);
    host->router().routeMessage(&message, &status);
    journal.sent(slot, message, status.code, fromReader);
}

void Harness::checkSender(int slot, const CoreMessage& message, bool fromReader) {
    if (slot >= 0 && interposer.slot(slot).unloaded.load()) {
        breachOnce(TESSARD_BREACH_CALLBACK_AFTER_UNLOAD, slot,
                   nameOf(slot) + " called the core after its Unload returned (flags " +
                       hex(message.flags) + ", type " + hex(message.type) +
                       "): nothing of a plugin may run once Close has returned");
    }
    if (answersHandle(message) && !fromReader && !stopping.load()) {
        breachOnce(TESSARD_BREACH_HANDLE_OFF_READER, slot,
                   nameOf(slot) + " sent a message under read handle " + hex(message.handle) +
                       " from a thread that is not a Read worker: the core refuses it with "
                       "STATUS_CANCELLED; answers go from inside Read, on its thread");
    }
}

void Harness::breachOnce(TessardHarnessBreachKind kind, int slot, const std::string& text) {
    {
        std::lock_guard<std::mutex> hold(breachLock);
        if (!reported.insert({static_cast<int>(kind), slot}).second) return;
    }
    journal.breach(kind, text);
    std::fprintf(stderr, "tessard harness: BREACH: %s\n", text.c_str());
}

std::string Harness::nameOf(int slot) {
    return slot >= 0 ? interposer.slot(slot).fileName : std::string("a plugin the harness cannot name");
}

// ---- The checks ------------------------------------------------------------

void Harness::collectFaults() {
    for (const PayloadFault& fault : payloads.takeFaults()) {
        const int slot = fault.slot >= 0 ? fault.slot : interposer.slotOfCode(fault.instruction);
        const std::string where =
            fault.slot >= 0 ? std::string("in ") + callEntryName(static_cast<CallEntry>(fault.entry))
                            : std::string("on a thread of its own");
        if (fault.afterFree) {
            breachOnce(TESSARD_BREACH_READ_AFTER_FREE, slot,
                       nameOf(slot) + " read a payload after it was freed, " + where +
                           ": a payload lives until the call returns, unless the reply retains it");
            continue;
        }
        const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t beyond = fault.address % page;
        breachOnce(TESSARD_BREACH_READ_PAST_LENGTH, slot,
                   nameOf(slot) + " read past the end of a " + std::to_string(fault.length) +
                       "-byte payload (byte " + std::to_string(fault.length + beyond) + ") " +
                       where + ": payloads are not terminated; read `length` bytes");
    }
}

void Harness::checkRetained() {
    std::size_t attributed = 0;
    for (int slot = 0; slot < interposer.size(); ++slot) {
        const std::size_t holds = journal.holdsOf(slot);
        attributed += holds;
        if (holds == 0) continue;
        breachOnce(TESSARD_BREACH_RETAINED_AFTER_CLOSE, slot,
                   nameOf(slot) + " still holds " + std::to_string(holds) +
                       " payload(s) after its Close returned: Close must give back every "
                       "retained payload with MSG_RELEASE");
    }
    const std::size_t held = host->router().payloads().holders().size();
    if (attributed == 0 && held != 0) {
        breachOnce(TESSARD_BREACH_RETAINED_AFTER_CLOSE, -1,
                   std::to_string(held) + " payload(s) are still held after every Close returned");
    }
}

void Harness::checkThreads() {
    const std::vector<LingeringThread> left = threads.lingering(interposer, kThreadGrace);
    for (const LingeringThread& thread : left) {
        const std::string whose = thread.slot >= 0 ? nameOf(thread.slot) : std::string("a plugin");
        breachOnce(TESSARD_BREACH_THREAD_AFTER_UNLOAD, thread.slot,
                   whose + ": thread " + std::to_string(thread.task) + " (\"" + thread.name +
                       "\") still runs " +
                       (thread.slot >= 0 ? "the plugin's code" : "and its stack cannot be read") +
                       " after Unload: Close must stop and join every thread the plugin started");
    }
    if (!left.empty()) {
        // Its code and the payloads it may hold stay where they are.
        interposer.keepLibraries();
        payloads.leaveMapped();
    }
}

}  // namespace kit
