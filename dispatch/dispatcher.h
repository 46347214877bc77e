// Dispatcher: the consumer side of the event queue, the event handler
// thread, and the fan-out of every event to the plugins that take it.
//
// The event handler thread takes the queued events in batches and hands
// each one to the plugins, one after the other, in table order (fan_out.cpp);
// the payload copy it hands out is held through the router's payloads for
// the length of the walk. The main thread starts and stops the thread: at
// stop the queue is closed to new messages, the handler goes on handing out
// what was queued before for at most kStopDrain, so that what senders were
// told was accepted arrives, and then discards what is left, counted; a
// flood cannot hold the stop. A handler stuck inside one plugin call is
// waited for a grace, then its deliveries are stopped, and if it still does
// not return it is left to run on, its plugin's library loaded.
//
// `deliveryWatch` tells the main thread what the handler does (it guards
// itself); `batch` belongs to the handler thread; the rest belongs to the
// main thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "bus/event_queue.h"
#include "dispatch/delivery_watch.h"
#include "dispatch/event_handler_thread.h"
#include "plugins/plugin_table.h"
#include "plugins/stop_clock.h"

class PluginManager;
class Router;

class Dispatcher {
public:
    // How long the stop goes on handing out what was queued before it.
    static constexpr std::chrono::seconds kStopDrain{2};

    Dispatcher(Router& router, PluginManager& plugins);
    ~Dispatcher();

    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;

    // Starts the event handler thread.
    void start();
    // Closes the queue and waits for the handler to end. False when it
    // spent the grace inside one plugin call: its deliveries are then
    // stopped, and the plugins are to be closed, which should let the call
    // return.
    bool stop(const StopClock& clock);
    // After the close pass: waits for a handler that was stuck once more;
    // if it still has not returned, leaves it running and its plugin's
    // library loaded.
    void leaveIfStuck(const StopClock& clock);

    // The event handler thread's work: waiting for events, and handing out
    // every event queued until the queue is empty or closed.
    void waitForEvents() { queue.waitForEvents(batch); }
    void dispatchEvents();

    // Events discarded from the handler's last batch at stop; zeroed.
    std::size_t takeDiscarded() { return discardedAtStop.exchange(0); }
    bool isRunning() const { return handler != nullptr; }
    // Whether a stuck handler was left running.
    bool leftRunning() const { return abandoned != nullptr; }
    const DeliveryWatch& watch() const { return deliveryWatch; }

    // Events handed out, and discarded at stop, since the start; for the
    // statistics.
    std::uint64_t eventsDispatched() const { return dispatched.load(std::memory_order_relaxed); }
    std::uint64_t eventsDiscarded() const { return discarded.load(std::memory_order_relaxed); }

private:
    void fanOut(const CoreMessage& event, const PluginTable::Records& table);
    // Whether the stop has begun and the time to hand out what was queued
    // before it is over.
    bool drainOver() const;
    bool awaitHandler(std::chrono::milliseconds grace);

    Router& router;
    EventQueue& queue;
    PluginManager& plugins;
    std::unique_ptr<EventHandlerThread> handler;
    // A handler the stop gave up on, still inside a plugin call: never
    // joined nor destroyed.
    EventHandlerThread* abandoned = nullptr;
    DeliveryWatch deliveryWatch;
    // The events being handed out. Its storage goes back and forth with the
    // queue's, so it is kept from batch to batch. Event handler thread only.
    EventQueue::Batch batch;
    std::atomic<std::size_t> discardedAtStop{0};
    // Written by the handler thread alone, read by the statistics.
    std::atomic<std::uint64_t> dispatched{0};
    std::atomic<std::uint64_t> discarded{0};
    // When the stop's drain ends, in steady-clock nanoseconds; set by the
    // main thread before it closes the queue, which the handler sees first.
    std::atomic<std::int64_t> drainUntil{0};
};
