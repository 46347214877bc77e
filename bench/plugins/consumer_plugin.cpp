// The consumer plugin: one consumer of the workload, inside the server.
//
// Each installed copy (bench_consumer_<i>.so) is consumer i. It receives by
// Write on the event handler thread, reads the payload there and never
// retains it. When the last expected message has arrived it wakes its own
// marker thread, which leaves a marker file, so that no file is written on
// the delivering thread. Close comes after the event handler has stopped,
// so the consumer's counts are read there without a lock.

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "common/consumer.h"
#include "plugins/plugin_config.h"
#include "plugins/protocol.h"

namespace {

using namespace bench;

class ConsumerPlugin {
public:
    ConsumerPlugin(RunConfig config, int index)
        : config(std::move(config)), index(index), consumer(this->config.workload, index) {}

    void open() { marker = std::thread([this] { markWhenComplete(); }); }
    void deliver(const WriteRequest& request) {
        if (request.type != kBenchType) return;
        if (consumer.receive(request.payload, request.length)) signal(State::Complete);
    }
    void close() {
        signal(State::Closing);
        if (marker.joinable()) marker.join();
        writeReport(consumerReportPath(config.resultsDir, index), consumer.report());
    }

private:
    enum class State { Running, Complete, Closing };

    // Closing is final; Complete can only follow Running.
    void signal(State next) {
        std::lock_guard<std::mutex> hold(lock);
        if (state != State::Closing) state = next;
        changed.notify_one();
    }
    void markWhenComplete() {
        std::unique_lock<std::mutex> hold(lock);
        changed.wait(hold, [this] { return state != State::Running; });
        if (state == State::Complete) touch(consumerDonePath(config.resultsDir, index));
        changed.wait(hold, [this] { return state == State::Closing; });
    }

    const RunConfig config;
    const int index;
    Consumer consumer;  // event handler thread, then the main thread in Close
    std::thread marker;
    std::mutex lock;
    std::condition_variable changed;
    State state = State::Running;  // guarded by lock
};

std::unique_ptr<ConsumerPlugin> plugin;  // set in Load, read by Write, reset in Unload

}  // namespace

int32_t Load(const LoadContext*, PluginInfo* info) {
    const std::optional<RunConfig> config = pluginRunConfig();
    const int index = libraryIndex(reinterpret_cast<const void*>(&Load));
    if (!config || index < 0 || index >= config->workload.consumers) return 1;
    plugin = std::make_unique<ConsumerPlugin>(*config, index);
    info->id = kConsumerPluginIdBase + static_cast<std::uint64_t>(index);
    info->eventMasks[kBenchMaskEntry] = kBenchMask;
    info->writeEvents = 1;
    return 0;
}

int32_t Open(const OpenParams*, OpenResult*) {
    if (plugin) plugin->open();
    return 0;
}

// The payload is read here and not retained: reply->retain stays 0.
int32_t Write(const WriteRequest* request, WriteReply*) {
    if (plugin) plugin->deliver(*request);
    return 0;
}

int32_t Close(const CloseParams*, CoreStatus*) {
    if (plugin) plugin->close();
    return 0;
}

int32_t Unload(const UnloadParams*, CoreStatus*) {
    plugin.reset();
    return 0;
}

// The core's notices arrive here; a consumer has no use for them.
int32_t IOCTL(const IoctlRequest*, IoctlReply*) { return 0; }
