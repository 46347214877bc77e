// The stress run's read requester and throttling switcher (side_load.h).

#include "side_load.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "app/core.h"

namespace {

constexpr std::uint64_t kRequestType = 0x60;
constexpr std::uint32_t kMaxRequestBytes = 64;

CoreMessage controlMessage(std::uint64_t handle, std::uint64_t flags) {
    CoreMessage message;
    std::memset(&message, 0, sizeof message);
    message.size = sizeof message;
    message.version = 1;
    message.source = 0;
    message.handle = handle;
    message.flags = flags;
    message.type = kRequestType;
    return message;
}

std::int32_t route(const CoreMessage& message) {
    CoreStatus status{sizeof(CoreStatus), 1, 0};
    coreCallback(&message, &status);
    return status.code;
}

}  // namespace

void ReadRequester::run() {
    while (!signals.done.load()) {
        requestAndCancel();
        const auto mean = static_cast<unsigned>(meanPause.count());
        std::this_thread::sleep_for(std::chrono::microseconds(mean / 2 + random() % mean));
    }
}

// One round: a fresh handle asked for; most of them cancelled, at once or a
// moment later; now and then an old cancelled handle asked for again and
// cancelled again, and a request that selects no plugin at all.
void ReadRequester::requestAndCancel() {
    const unsigned roll = random() % 100;
    std::uint64_t handle = ++nextHandle;
    if (roll < 30) handle |= HARD_LIVE_HANDLE;
    request(handle, HARD_ANSWER_FLAGS);
    if (roll < 30) return;
    if (roll >= 60) std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
    cancel(handle);
    cancelledHandles.push_back(handle);
    if (roll % 10 == 0) {
        const std::uint64_t old = cancelledHandles[random() % cancelledHandles.size()];
        request(old, HARD_ANSWER_FLAGS);
        ++revivalCount;
        cancel(old);
    }
    if (roll % 25 == 1) request(handle, MSG_TO_ALL);
}

void ReadRequester::request(std::uint64_t handle, std::uint64_t flags) {
    unsigned char bytes[kMaxRequestBytes];
    const std::uint32_t length = 1 + random() % kMaxRequestBytes;
    for (std::uint32_t at = 0; at < length; ++at) bytes[at] = hardRequestByte(handle, at);
    CoreMessage message = controlMessage(handle, flags);
    message.payload = bytes;
    message.length = length;
    expectAccepted(route(message), "read request", handle);
    ++requestCount;
}

void ReadRequester::cancel(std::uint64_t handle) {
    expectAccepted(route(controlMessage(handle, MSG_CANCEL)), "cancel", handle);
    ++cancelCount;
}

void ReadRequester::expectAccepted(std::int32_t code, const char* what, std::uint64_t handle) {
    if (code == STATUS_OK || faultNotes.size() >= 20) return;
    faultNotes.push_back(std::string(what) + " of handle " + std::to_string(handle) + ": code " +
                         std::to_string(code));
}

// Now and then throttling stays off long enough for a producer's run of
// sequenced records to reach its limit.
void ThrottleSwitcher::run() {
    while (!signals.done.load()) {
        if (random() % 4 == 0) {
            pause(100000, 400000);
        } else {
            pause(2000, 30000);
        }
        throttle.set(true);
        pause(200, 3000);
        throttle.set(false);
    }
}

void ThrottleSwitcher::pause(unsigned fromMicroseconds, unsigned toMicroseconds) {
    const unsigned span = toMicroseconds - fromMicroseconds;
    std::this_thread::sleep_for(std::chrono::microseconds(fromMicroseconds + random() % span));
}
