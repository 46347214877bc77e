#include "app/service_notifier.h"

#include <systemd/sd-daemon.h>

#include <cerrno>
#include <cstdlib>

namespace {

// The watchdog interval systemd granted, from WATCHDOG_USEC.
//
// sd_watchdog_enabled() is not used: it also demands that WATCHDOG_PID, when
// set, names the calling process. systemd sets WATCHDOG_PID to the process it
// started, and with Type=forking that is the launcher, which exits once the
// daemon has started; the daemon child, which systemd then takes as the main
// process from the PID file, would always be told "no watchdog". Who may
// send is settled by NotifyAccess=main instead, and the notifier is only
// made by the daemon child.
std::chrono::microseconds watchdogIntervalFromEnvironment() {
    const char* text = std::getenv("WATCHDOG_USEC");
    if (text == nullptr || *text < '0' || *text > '9') return std::chrono::microseconds(0);
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0') return std::chrono::microseconds(0);
    return std::chrono::microseconds(value);
}

// Control characters become blanks, so that the status stays one line; a
// cut keeps whole UTF-8 characters.
std::string oneLine(const std::string& text) {
    std::string line = text.substr(0, ServiceNotifier::kStatusLimit);
    if (line.size() < text.size()) {
        while (!line.empty() && (static_cast<unsigned char>(text[line.size()]) & 0xC0) == 0x80) {
            line.pop_back();
        }
    }
    for (char& c : line) {
        const unsigned char code = static_cast<unsigned char>(c);
        if (code < 0x20 || code == 0x7F) c = ' ';
    }
    return line;
}

}  // namespace

ServiceNotifier::ServiceNotifier()
    : enabled_(std::getenv("NOTIFY_SOCKET") != nullptr),
      watchdogInterval_(enabled_ ? watchdogIntervalFromEnvironment()
                                 : std::chrono::microseconds(0)) {
    if (enabled_) sender = std::thread([this] { sendLoop(); });
}

ServiceNotifier::~ServiceNotifier() {
    if (!sender.joinable()) return;
    {
        std::lock_guard<std::mutex> hold(pendingLock);
        closing = true;
    }
    pendingChanged.notify_one();
    sender.join();
}

template <typename Change>
void ServiceNotifier::post(Change change) {
    if (!enabled_) return;
    {
        std::lock_guard<std::mutex> hold(pendingLock);
        change(pending);
    }
    pendingChanged.notify_one();
}

void ServiceNotifier::status(const std::string& text) {
    if (!enabled_) return;
    std::string line = oneLine(text);
    post([&line](Pending& p) { p.status = std::move(line); });
}

void ServiceNotifier::watchdog() {
    post([](Pending& p) { p.watchdog = true; });
}

void ServiceNotifier::stopping() {
    post([](Pending& p) { p.stopping = true; });
}

// Sends whatever is pending as one datagram, until closed with nothing left.
// A failed send is not logged or repeated: the next keep-alive or status
// follows within a fraction of a second, and systemd itself logs a watchdog
// that was missed.
void ServiceNotifier::sendLoop() {
    for (;;) {
        Pending taken;
        {
            std::unique_lock<std::mutex> hold(pendingLock);
            pendingChanged.wait(hold, [this] { return closing || !pending.empty(); });
            if (pending.empty()) return;
            std::swap(taken, pending);
        }
        sd_notify(0, datagramOf(taken).c_str());
    }
}

std::string ServiceNotifier::datagramOf(const Pending& pending) {
    std::string datagram;
    if (pending.status) datagram += "STATUS=" + *pending.status + "\n";
    if (pending.watchdog) datagram += "WATCHDOG=1\n";
    if (pending.stopping) datagram += "STOPPING=1\n";
    datagram.pop_back();
    return datagram;
}
