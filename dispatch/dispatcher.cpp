#include "dispatch/dispatcher.h"

#include <wx/log.h>

#include "bus/router.h"
#include "plugins/call_words.h"
#include "plugins/plugin_manager.h"
#include "threads/sleep.h"

Dispatcher::Dispatcher(Router& router, PluginManager& plugins)
    : router(router), queue(router.events()), plugins(plugins) {}

// The stop sequence must have run: a handler still running here is one the
// stop left inside a plugin call, and it keeps the object.
Dispatcher::~Dispatcher() = default;

void Dispatcher::start() {
    discardedAtStop = 0;
    deliveryWatch.allowDeliveries();
    handler = std::make_unique<EventHandlerThread>(*this);
    handler->start();
}

bool Dispatcher::stop(const StopClock& clock) {
    if (!handler) return true;
    handler->signal();
    // From now on every new message is refused; what was queued before is
    // handed out for a moment, then the handler returns.
    drainUntil.store(std::chrono::duration_cast<std::chrono::nanoseconds>(
                         (std::chrono::steady_clock::now() + kStopDrain).time_since_epoch())
                         .count());
    queue.close();
    const std::chrono::milliseconds grace = clock.nextGrace();
    if (!awaitHandler(grace)) {
        wxLogWarning("%s; the stop closes the plugins without waiting for it",
                     longCallText(deliveryWatch.callingPlugin()->fileName(),
                                  deliveryWatch.callingEntry(), grace));
        deliveryWatch.stopDeliveries();
        return false;
    }
    handler.reset();
    return true;
}

bool Dispatcher::drainOver() const {
    if (!queue.isClosed()) return false;
    const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return now.count() >= drainUntil.load();
}

// Polls until the handler has ended (true), or until it has made no
// progress inside one plugin call for the grace (false).
bool Dispatcher::awaitHandler(std::chrono::milliseconds grace) {
    std::uint64_t progress = deliveryWatch.callsReturned();
    std::chrono::milliseconds stuckFor{0};
    while (!handler->isFinished()) {
        pt::psleep(100);
        const std::uint64_t now = deliveryWatch.callsReturned();
        if (now != progress || !deliveryWatch.inPluginCall()) {
            progress = now;
            stuckFor = std::chrono::milliseconds(0);
        } else if ((stuckFor += std::chrono::milliseconds(100)) >= grace) {
            return false;
        }
    }
    return true;
}

void Dispatcher::leaveIfStuck(const StopClock& clock) {
    if (!handler) return;
    if (awaitHandler(clock.nextGrace())) {
        handler.reset();
        return;
    }
    PluginLibrary* library = deliveryWatch.callingPlugin();
    wxLogWarning("%s; the stop goes on without it and leaves its library loaded",
                 longCallText(library->fileName(), deliveryWatch.callingEntry(), clock.elapsed()));
    library->pin();
    plugins.noteLibraryLeftLoaded();
    // Still running: it must neither be joined nor destroyed.
    abandoned = handler.release();
}
