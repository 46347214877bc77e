// The stress run's settings and load (stress_run.h).

#include "stress_run.h"

#include <algorithm>
#include <cstdlib>

using namespace std::chrono_literals;

StressSettings StressSettings::fromEnvironment() {
    StressSettings settings;
    if (const char* seconds = std::getenv("TESSARD_STRESS_SECONDS")) {
        const double value = std::atof(seconds);
        if (value > 0) settings.load = std::chrono::milliseconds(static_cast<long>(value * 1000));
    }
    if (const char* count = std::getenv("TESSARD_STRESS_PRODUCERS")) {
        const long value = std::atol(count);
        if (value >= 1 && value <= HARD_MAX_PRODUCERS) settings.producers = value;
    }
    return settings;
}

// Every round of the read requester starts a worker thread per reader, and
// the sanitizers' runtimes make threads dear: ThreadSanitizer keeps state
// for every thread it ever saw, so each synchronisation gets slower as they
// add up and after some 60,000 it cannot map memory for the next;
// AddressSanitizer gives each ending thread's allocator cache back under one
// lock, and on two busy cores ending threads then pile up faster than they
// go. So in those builds a long run spreads a fixed number of rounds over
// its load.
std::chrono::microseconds StressSettings::requestPause() const {
    const std::chrono::microseconds usual{1000};
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    constexpr long kRoundsAtMost = 6000;
    return std::max(usual, std::chrono::microseconds(load) / kRoundsAtMost);
#else
    return usual;
#endif
}

std::chrono::seconds StressSettings::bound() const {
    return std::chrono::duration_cast<std::chrono::seconds>(90s + 3 * load);
}

StressLoad::StressLoad(Core& core, const StressPlugins& plugins, const StressSettings& settings)
    : throttle(core.monitor().throttlingSwitch()),
      requester(signals, settings.requestPause()),
      switcher(signals, throttle) {
    const SinkView& pacer = plugins.pacer();
    const Producer::Pacing pacing{
        [&pacer](std::uint32_t producer) { return pacer.records(producer); },
        [&plugins] { return plugins.heldBySinks(); }};
    for (std::uint32_t index = 0; index < settings.producers; ++index) {
        producers.push_back(std::make_unique<Producer>(index, signals, throttle, pacing));
    }
    for (auto& producer : producers) threads.emplace_back([&producer] { producer->run(); });
    threads.emplace_back([this] { requester.run(); });
    threads.emplace_back([this] { switcher.run(); });
}

void StressLoad::finish() {
    signals.done = true;
    for (std::thread& thread : threads) {
        if (thread.joinable()) thread.join();
    }
}

LoadPeaks runLoad(Core& core, const StressPlugins& plugins, std::chrono::milliseconds length) {
    LoadPeaks peaks;
    const auto until = std::chrono::steady_clock::now() + length;
    while (std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            100ms, until - std::chrono::steady_clock::now()));
        peaks.replySlots = std::max(peaks.replySlots, core.router().payloads().slots().slotCount());
        peaks.heldBySinks = std::max(peaks.heldBySinks, plugins.heldBySinks());
    }
    return peaks;
}

StopMark beginStop(StressLoad& load, const StressPlugins& plugins) {
    const StopMark mark{plugins.answersAccepted(), plugins.liveRefusals()};
    load.signals.stopBegan = true;
    return mark;
}

std::chrono::milliseconds timedStop(Core& core) {
    const auto began = std::chrono::steady_clock::now();
    core.stop();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 began);
}
