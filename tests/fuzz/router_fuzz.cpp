// Fuzz target: the router. Each input is a run of message records of any
// flags, source, handle, type, length (with a real buffer of that length)
// and sequenceStart, sent through the plugins' callback from three threads
// at once into one started Core. The real loader loaded its plugins: a
// subscriber to everything that keeps every payload and gives each back
// from a thread of its own, and a reader that answers every read request
// from the workers the router starts.
//
// Every status must be one of the six codes and fit the record that got it.
// Once the senders are done, every worker must end and every payload copy
// must be freed within a few seconds: a copy still live then is a leak, and
// a worker still running a hang. The Core lives for the whole process, so
// that the sequences, cancelled handles and holds of one input meet the
// next; it is stopped, and checked for a last leak, when the process exits.

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/core.h"
#include "counting_allocator.h"
#include "fuzz_support.h"
#include "plugin_folder.h"

namespace {

constexpr std::size_t kSenders = 3;
constexpr std::size_t kMostRecords = 48;
constexpr std::uint32_t kLongestPayload = 64;
constexpr std::chrono::seconds kSettleLimit{10};

// One record as the fuzzer wrote it, with the buffer its payload points to
// once it has found its place (pointTo).
struct Record {
    CoreMessage message{};
    std::string payload;
    bool nullPayload = false;

    void pointTo() { message.payload = nullPayload ? nullptr : payload.data(); }
};

// The Core and its plugins, set up at the first input.
class Server {
public:
    Server() {
        folder.install("hard_sink", "sink.so");
        folder.install("hard_reader", "reader.so");
        // Memory throttling off: only the inputs switch throttling.
        writeFile(folder / "core.xml",
                  "<?xml ?><Zelt Delta=\"0\"><Memory ID=\"-2147483648\" Throttling=\"0\" /></Zelt>");
        core = std::make_unique<Core>(folder.exePath(), allocator);
        core->start();
        const PluginTable::Snapshot table = core->plugins().snapshot();
        fuzz::check(table->size() == 2, "the two plugins did not load");
        for (const PluginRecord& plugin : *table) pluginIds.push_back(plugin.info.id);
    }

    ~Server() {
        core->stop();
        core.reset();
        fuzz::check(allocator.liveBlocks() == 0, "payload copies outlived the Core");
    }

    Core& operator*() { return *core; }

    // The ids the two plugins took, which come from their file names.
    std::uint64_t pluginId(std::size_t index) const { return pluginIds[index]; }

    // Waits until every worker has ended and every payload copy is free.
    bool settle() {
        const auto deadline = std::chrono::steady_clock::now() + kSettleLimit;
        const PluginTable::Snapshot table = core->plugins().snapshot();
        for (const PluginRecord& plugin : *table) {
            if (!plugin.library->waitIdle(kSettleLimit)) return false;
        }
        while (allocator.liveBlocks() != 0) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        return true;
    }

private:
    PluginFolder folder;
    WorkingDirectory cwd{folder.root()};
    CountingAllocator allocator;
    std::unique_ptr<Core> core;
    std::vector<std::uint64_t> pluginIds;
};

Server& server() {
    fuzz::setUpProcess();
    static Server running;
    return running;
}

// Mostly the ids the plugins, the core and producers send under, sometimes
// any id.
std::uint64_t sourceFrom(fuzz::Bytes& bytes, const Server& running) {
    switch (bytes.byte() % 8) {
    case 0: return 0;  // a read request or a cancel
    case 1: return running.pluginId(0);
    case 2: return running.pluginId(1);
    case 3: return CORE_ID;
    case 4: return bytes.number(8);
    default: return 0x1000 + bytes.byte() % 4;  // producers of no plugin
    }
}

Record recordFrom(fuzz::Bytes& bytes, const Server& running) {
    Record record;
    CoreMessage& message = record.message;
    message.size = sizeof message;
    message.version = 1;
    message.source = sourceFrom(bytes, running);
    message.flags = bytes.number(2);
    message.type = bytes.number(8);
    message.handle = bytes.byte() % 4;  // few handles, so that requests, cancels and answers meet
    message.extra[CORE_MESSAGE_SEQUENCE_START] = bytes.byte();
    const std::uint8_t shape = bytes.byte();
    record.payload = bytes.text(shape % (kLongestPayload + 1));
    message.length = static_cast<std::uint32_t>(record.payload.size());
    // A payload pointer with no bytes, and bytes under a null pointer, are
    // both records a careless plugin sends.
    record.nullPayload = (shape & 0x80) != 0;
    if ((shape & 0x40) != 0) message.length = 0;
    return record;
}

bool isSequenced(const CoreMessage& message) {
    return (message.flags & MSG_SELECT_0) != 0 && (message.type & MSG_TYPE_SEQUENCED) != 0;
}

bool isKnownCode(std::int32_t code) {
    return code == STATUS_OK || code == STATUS_CANCELLED || code == STATUS_NO_SEQUENCE ||
           code == STATUS_OVERRUN || code == STATUS_THROTTLED || code == STATUS_NO_MEMORY;
}

// The codes the router may answer `message` with.
void checkStatus(const CoreMessage& message, std::int32_t code, bool throttling) {
    fuzz::check(isKnownCode(code), "status " + std::to_string(code) + " is none of the six");
    if (code == STATUS_OK) return;
    fuzz::check(message.flags != MSG_RELEASE && message.source != 0,
                "a release, read request or cancel was refused");
    // The test's allocator never fails.
    fuzz::check(code != STATUS_NO_MEMORY, "a payload copy failed with memory to spare");
    if (code == STATUS_CANCELLED) {
        fuzz::check(message.handle != 0, "a record without a handle was cancelled");
        return;
    }
    fuzz::check(isSequenced(message), "a record that is not sequenced was refused a sequence");
    fuzz::check(code != STATUS_THROTTLED || throttling, "throttled while throttling was off");
}

void send(const std::vector<Record>& records, std::size_t first, bool throttling) {
    for (std::size_t index = first; index < records.size(); index += kSenders) {
        const CoreMessage& message = records[index].message;
        CoreStatus status{sizeof status, 1, 0};
        coreCallback(&message, &status);
        checkStatus(message, status.code, throttling);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Server& running = server();
    fuzz::Bytes bytes(data, size);
    const bool throttling = (bytes.byte() & 1) != 0;
    std::vector<Record> records;
    while (!bytes.empty() && records.size() < kMostRecords) records.push_back(recordFrom(bytes, running));
    for (Record& record : records) record.pointTo();

    (*running).monitor().throttlingSwitch() = throttling;
    std::vector<std::thread> senders;
    for (std::size_t first = 0; first < kSenders; ++first) {
        senders.emplace_back(send, std::cref(records), first, throttling);
    }
    for (std::thread& sender : senders) sender.join();
    fuzz::check(running.settle(), "a worker hung or a payload copy was not freed");
    return 0;
}
