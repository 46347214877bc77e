// The stress run's setup: its settings, read from the environment, the
// threads of its load, and the moment its stop begins.
//
// StressLoad starts every thread of the load when it is constructed and
// joins them in finish(); their state is read only after that.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "app/core.h"
#include "producer.h"
#include "side_load.h"
#include "stress_plugins.h"
#include "throttle_watch.h"

using Producers = std::vector<std::unique_ptr<Producer>>;

struct StressSettings {
    // TESSARD_STRESS_SECONDS and TESSARD_STRESS_PRODUCERS, where set.
    static StressSettings fromEnvironment();

    // The mean pause between two rounds of the read requester.
    std::chrono::microseconds requestPause() const;
    // Far beyond what a healthy run takes in any build.
    std::chrono::seconds bound() const;

    std::chrono::milliseconds load{3000};
    std::uint32_t producers = 4;
};

class StressLoad {
public:
    StressLoad(Core& core, const StressPlugins& plugins, const StressSettings& settings);
    ~StressLoad() { finish(); }

    StressLoad(const StressLoad&) = delete;
    StressLoad& operator=(const StressLoad&) = delete;

    void finish();

    RunSignals signals;
    ThrottleWatch throttle;
    Producers producers;
    ReadRequester requester;
    ThrottleSwitcher switcher;

private:
    std::vector<std::thread> threads;
};

// The most the run saw at once while the load ran: readers' reply slots
// (workers answering) and payloads the sinks held.
struct LoadPeaks {
    std::size_t replySlots = 0;
    std::uint64_t heldBySinks = 0;
};

// Lets the load run for `length`, looking at the Core and the sinks every
// tenth of a second.
LoadPeaks runLoad(Core& core, const StressPlugins& plugins, std::chrono::milliseconds length);

// What the readers had done when the stop began.
struct StopMark {
    std::uint64_t answersAccepted;
    std::uint64_t liveRefusals;
};

// Reads the readers' counters, then tells the load that the stop begins.
StopMark beginStop(StressLoad& load, const StressPlugins& plugins);
// Stops the Core; returns how long that took.
std::chrono::milliseconds timedStop(Core& core);

// Stops the Core when the test leaves early; a second stop does nothing.
struct StopOnExit {
    Core& core;
    ~StopOnExit() { core.stop(); }
};
