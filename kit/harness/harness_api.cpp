// The C API of tessard_harness.h, each function forwarding to the one
// Harness. No exception may cross it: the calls that make the harness or
// copy a file, which can fail on outside causes and have a failure value to
// return, catch; elsewhere only a failed allocation throws, and it ends the
// test as it would end the server.

#include <chrono>
#include <new>

#include "kit/harness/harness.h"
#include "kit/harness/tessard_harness.h"

using kit::Harness;

struct TessardHarness {
    Harness* harness;
};

namespace {

Harness& of(const TessardHarness* handle) { return *handle->harness; }

std::chrono::milliseconds limit(unsigned milliseconds) {
    return std::chrono::milliseconds(milliseconds);
}

}  // namespace

extern "C" {

TessardHarness* tessardHarnessCreate(void) {
    try {
        Harness* harness = Harness::create();
        if (harness == nullptr) return nullptr;
        return new TessardHarness{harness};
    } catch (const std::exception&) {
        return nullptr;
    }
}

const char* tessardHarnessDirectory(const TessardHarness* harness) {
    return of(harness).directory().c_str();
}

int tessardHarnessAddPlugin(TessardHarness* harness, const char* path) {
    try {
        return path != nullptr ? of(harness).addPlugin(path) : -1;
    } catch (const std::exception&) {
        return -1;
    }
}

int tessardHarnessStart(TessardHarness* harness) { return of(harness).start(); }

int tessardHarnessRunUntilIdle(TessardHarness* harness, unsigned timeoutMs) {
    return of(harness).runUntilIdle(limit(timeoutMs)) ? 1 : 0;
}

int tessardHarnessWaitFor(TessardHarness* harness, int (*condition)(void* context), void* context,
                          unsigned timeoutMs) {
    return of(harness).waitFor(condition, context, limit(timeoutMs)) ? 1 : 0;
}

size_t tessardHarnessStop(TessardHarness* harness) { return of(harness).stop(); }

void tessardHarnessDestroy(TessardHarness* harness) {
    if (harness == nullptr) return;
    Harness::destroy(harness->harness);
    delete harness;
}

int32_t tessardHarnessSend(TessardHarness* harness, const CoreMessage* message) {
    return of(harness).send(*message);
}

int32_t tessardHarnessSendTextNotice(TessardHarness* harness, const char* text) {
    const std::string line = text != nullptr ? text : "";
    CoreMessage notice{};
    notice.size = sizeof(CoreMessage);
    notice.version = 1;
    notice.length = static_cast<std::uint32_t>(line.size());
    notice.payload = line.data();
    notice.source = CORE_ID;
    notice.flags = MSG_SELECT_6;
    notice.type = MSG_TYPE_TEXT;
    return of(harness).send(notice);
}

int32_t tessardHarnessRead(TessardHarness* harness, uint64_t handle, uint64_t flags, uint64_t type,
                           const void* payload, uint32_t length) {
    return of(harness).read(handle, flags, type, payload, length);
}

int32_t tessardHarnessCancel(TessardHarness* harness, uint64_t handle) {
    CoreMessage cancel{};
    cancel.size = sizeof(CoreMessage);
    cancel.version = 1;
    cancel.handle = handle;
    cancel.flags = MSG_CANCEL;
    return of(harness).send(cancel);
}

void tessardHarnessAdvanceClock(TessardHarness* harness, int64_t seconds) {
    of(harness).advanceClock(seconds);
}

void tessardHarnessSetHeap(TessardHarness* harness, uint64_t bytes) { of(harness).setHeap(bytes); }

uint64_t tessardHarnessHeapCeiling(const TessardHarness* harness) {
    return of(harness).heapCeiling();
}

int tessardHarnessThrottling(const TessardHarness* harness) {
    return of(harness).throttling() ? 1 : 0;
}

size_t tessardHarnessPluginCount(const TessardHarness* harness) {
    return of(harness).pluginList().size();
}

uint64_t tessardHarnessPluginId(const TessardHarness* harness, size_t index) {
    const auto& plugins = of(harness).pluginList();
    return index < plugins.size() ? plugins[index].id : 0;
}

const char* tessardHarnessPluginFile(const TessardHarness* harness, size_t index) {
    const auto& plugins = of(harness).pluginList();
    return index < plugins.size() ? plugins[index].fileName.c_str() : nullptr;
}

int32_t tessardHarnessOpenCode(const TessardHarness* harness, size_t index) {
    const auto& plugins = of(harness).pluginList();
    return index < plugins.size() ? plugins[index].openCode : 0;
}

size_t tessardHarnessReceivedCount(const TessardHarness* harness, uint64_t id) {
    return of(harness).records().receivedCount(of(harness).slotOf(id));
}

const TessardHarnessReceived* tessardHarnessReceivedAt(const TessardHarness* harness, uint64_t id,
                                                       size_t index) {
    return of(harness).records().receivedAt(of(harness).slotOf(id), index);
}

size_t tessardHarnessSentCount(const TessardHarness* harness, uint64_t id) {
    return of(harness).records().sentCount(of(harness).slotOf(id));
}

const TessardHarnessSent* tessardHarnessSentAt(const TessardHarness* harness, uint64_t id,
                                               size_t index) {
    return of(harness).records().sentAt(of(harness).slotOf(id), index);
}

size_t tessardHarnessReplyCount(const TessardHarness* harness, uint64_t handle) {
    return of(harness).records().replyCount(handle);
}

const TessardHarnessSent* tessardHarnessReplyAt(const TessardHarness* harness, uint64_t handle,
                                                size_t index) {
    return of(harness).records().replyAt(handle, index);
}

size_t tessardHarnessLogCount(const TessardHarness* harness) {
    return of(harness).records().logCount();
}

const char* tessardHarnessLogLine(const TessardHarness* harness, size_t index) {
    return of(harness).records().logLine(index);
}

size_t tessardHarnessBreachCount(const TessardHarness* harness) {
    return of(harness).records().breachCount();
}

TessardHarnessBreachKind tessardHarnessBreachKindAt(const TessardHarness* harness, size_t index) {
    return of(harness).records().breachKind(index);
}

const char* tessardHarnessBreachText(const TessardHarness* harness, size_t index) {
    return of(harness).records().breachText(index);
}

}  // extern "C"
