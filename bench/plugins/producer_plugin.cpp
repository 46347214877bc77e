// The producer plugin: the workload's producer threads, inside the server.
//
// Open starts a control thread that waits for the harness's start file,
// then runs one thread per producer; each sends from its own thread through
// the core callback, as a camera plugin would, and reuses its one buffer as
// soon as the callback returns. When they have all finished the control
// thread leaves a marker; Close stops and joins everything and writes one
// report per producer. The producers and the control thread are touched by
// the main thread only after they have been joined.

#include <sys/stat.h>

#include <memory>
#include <thread>
#include <vector>

#include "common/producer.h"
#include "common/start_gate.h"
#include "plugins/plugin_config.h"
#include "plugins/protocol.h"

namespace {

using namespace bench;

CoreCallback coreCallback = nullptr;  // written by Load, before any thread exists

bool exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

// Hands one buffer to the core as a plain record of the benchmark's type.
class CoreSender {
public:
    CoreSender() {
        message.size = sizeof(CoreMessage);
        message.version = 1;
        message.source = kProducerPluginId;
        message.flags = kBenchFlags;
        message.type = kBenchType;
    }
    bool operator()(const std::uint8_t* data, std::size_t bytes) {
        message.payload = data;
        message.length = static_cast<std::uint32_t>(bytes);
        CoreStatus status{sizeof(CoreStatus), 1, STATUS_OK};
        coreCallback(&message, &status);
        return status.code == STATUS_OK;
    }

private:
    CoreMessage message{};
};

class ProducerPlugin {
public:
    explicit ProducerPlugin(RunConfig config) : config(std::move(config)) {
        for (int i = 0; i < this->config.workload.producers; ++i) {
            producers.push_back(std::make_unique<Producer>(this->config.workload, i, this->config.fault));
        }
    }
    void open() { controller = std::thread([this] { control(); }); }
    void close() {
        stopping.store(true, std::memory_order_relaxed);
        if (controller.joinable()) controller.join();
        for (const auto& producer : producers) {
            writeReport(producerReportPath(config.resultsDir, producer->producerIndex()),
                        producer->report());
        }
    }

private:
    // Polls every millisecond: the start is not part of what is measured.
    bool waitForStart() {
        while (!stopping.load(std::memory_order_relaxed)) {
            if (exists(config.startFile)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }
    void control() {
        if (!waitForStart()) return;
        StartGate gate;
        std::vector<std::thread> threads;
        for (const auto& producer : producers) {
            threads.emplace_back([this, &gate, p = producer.get()] {
                CoreSender send;
                gate.wait();
                runProducer(*p, send, stopping);
            });
        }
        const std::int64_t start = nowNs();
        for (const auto& producer : producers) producer->start(start);
        gate.open();
        for (std::thread& t : threads) t.join();
        touch(producersDonePath(config.resultsDir));
    }

    const RunConfig config;
    std::vector<std::unique_ptr<Producer>> producers;
    std::thread controller;
    std::atomic<bool> stopping{false};  // relaxed: it orders nothing, the joins do
};

std::unique_ptr<ProducerPlugin> plugin;  // main thread only (Load ... Unload)

}  // namespace

int32_t Load(const LoadContext* context, PluginInfo* info) {
    const std::optional<RunConfig> config = pluginRunConfig();
    if (!config) return 1;
    coreCallback = context->callback;
    plugin = std::make_unique<ProducerPlugin>(*config);
    info->id = kProducerPluginId;
    return 0;
}

int32_t Open(const OpenParams*, OpenResult*) {
    if (plugin) plugin->open();
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

// The core's notices arrive here; a producer has no use for them.
int32_t IOCTL(const IoctlRequest*, IoctlReply*) { return 0; }
