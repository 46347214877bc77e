// Journal: what the harness saw, for the test's queries: every call the core
// made into a plugin to hand it something, every message a plugin sent, the
// replies to the test's own read requests, the payloads each plugin holds,
// the core's log lines and the contract breaches.
//
// Any thread writes (the fan-out, Read workers, plugin threads through the
// callback, the payload allocator as it frees); any thread reads. `lock`
// guards everything; records live in deques, so that the addresses the
// queries hand out stay valid while later records are added. Nothing is
// called while the lock is held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "kit/harness/tessard_harness.h"

namespace kit {

constexpr int kMaxPlugins = 32;

class Journal {
public:
    // A call into the plugin in `slot`, its payload copied; the record's
    // number, for retained().
    std::size_t received(int slot, const TessardHarnessReceived& call);
    // The call's reply kept the payload: the plugin holds it from now on.
    void retained(int slot, std::size_t record, const void* payload);
    // A release the plugin in `slot` sent: one hold fewer.
    void released(int slot, const void* payload);
    // The payload was freed: whatever was counted on it is over.
    void forgetPayload(const void* payload);
    // Payloads the plugin in `slot` still holds.
    std::size_t holdsOf(int slot);

    // A message sent by the plugin in `slot` (-1: by none the harness
    // knows), as the core answered it.
    void sent(int slot, const CoreMessage& message, std::int32_t status, bool fromReader);
    // The test's own read handles, whose answers are kept as replies.
    void expectReplies(std::uint64_t handle);

    void breach(TessardHarnessBreachKind kind, const std::string& text);
    void log(const std::string& line);

    std::size_t receivedCount(int slot);
    const TessardHarnessReceived* receivedAt(int slot, std::size_t index);
    std::size_t sentCount(int slot);
    const TessardHarnessSent* sentAt(int slot, std::size_t index);
    std::size_t replyCount(std::uint64_t handle);
    const TessardHarnessSent* replyAt(std::uint64_t handle, std::size_t index);
    std::size_t breachCount();
    TessardHarnessBreachKind breachKind(std::size_t index);
    const char* breachText(std::size_t index);
    std::size_t logCount();
    const char* logLine(std::size_t index);

private:
    struct Received {
        TessardHarnessReceived call;
        std::string payload;
    };
    struct Sent {
        TessardHarnessSent record;
        std::string payload;
    };
    struct Breach {
        TessardHarnessBreachKind kind;
        std::string text;
    };

    std::mutex lock;
    std::deque<Received> calls;                          // guarded by lock
    std::vector<std::size_t> callsOf[kMaxPlugins];       // guarded by lock
    std::deque<Sent> messages;                           // guarded by lock
    std::vector<std::size_t> messagesOf[kMaxPlugins];    // guarded by lock
    std::set<std::uint64_t> replyHandles;                // guarded by lock
    std::map<std::uint64_t, std::vector<std::size_t>> repliesTo;  // guarded by lock
    // Holds per plugin and payload; a release that comes before the call
    // that retains it has returned counts below zero until then.
    std::map<const void*, long> holds[kMaxPlugins];      // guarded by lock
    std::deque<Breach> breaches;                         // guarded by lock
    std::deque<std::string> lines;                       // guarded by lock
};

}  // namespace kit
