#include "kit/harness/journal.h"

namespace kit {

namespace {

bool validSlot(int slot) { return slot >= 0 && slot < kMaxPlugins; }

}  // namespace

std::size_t Journal::received(int slot, const TessardHarnessReceived& call) {
    std::lock_guard<std::mutex> hold(lock);
    calls.push_back(Received{call, std::string()});
    Received& record = calls.back();
    if (call.payload != nullptr) {
        record.payload.assign(static_cast<const char*>(call.payload), call.length);
        record.call.payload = record.payload.data();
    }
    if (validSlot(slot)) callsOf[slot].push_back(calls.size() - 1);
    return calls.size() - 1;
}

void Journal::retained(int slot, std::size_t record, const void* payload) {
    std::lock_guard<std::mutex> hold(lock);
    calls[record].call.retained = 1;
    if (validSlot(slot) && payload != nullptr) holds[slot][payload] += 1;
}

void Journal::released(int slot, const void* payload) {
    std::lock_guard<std::mutex> hold(lock);
    if (validSlot(slot) && payload != nullptr) holds[slot][payload] -= 1;
}

void Journal::forgetPayload(const void* payload) {
    std::lock_guard<std::mutex> hold(lock);
    for (auto& held : holds) held.erase(payload);
}

std::size_t Journal::holdsOf(int slot) {
    std::lock_guard<std::mutex> hold(lock);
    std::size_t count = 0;
    if (!validSlot(slot)) return 0;
    for (const auto& [payload, holdsOnIt] : holds[slot]) count += holdsOnIt > 0 ? 1 : 0;
    return count;
}

void Journal::sent(int slot, const CoreMessage& message, std::int32_t status, bool fromReader) {
    std::lock_guard<std::mutex> hold(lock);
    messages.push_back(Sent{TessardHarnessSent{message, status, fromReader ? 1 : 0}, std::string()});
    Sent& record = messages.back();
    if (message.payload != nullptr && message.flags != MSG_RELEASE) {
        record.payload.assign(static_cast<const char*>(message.payload), message.length);
        record.record.message.payload = record.payload.data();
    }
    const std::size_t index = messages.size() - 1;
    if (validSlot(slot)) messagesOf[slot].push_back(index);
    const bool answer = message.source != 0 && message.flags != MSG_RELEASE;
    if (answer && replyHandles.count(message.handle) != 0) repliesTo[message.handle].push_back(index);
}

void Journal::expectReplies(std::uint64_t handle) {
    std::lock_guard<std::mutex> hold(lock);
    replyHandles.insert(handle);
}

void Journal::breach(TessardHarnessBreachKind kind, const std::string& text) {
    std::lock_guard<std::mutex> hold(lock);
    breaches.push_back(Breach{kind, text});
}

void Journal::log(const std::string& line) {
    std::lock_guard<std::mutex> hold(lock);
    lines.push_back(line);
}

std::size_t Journal::receivedCount(int slot) {
    std::lock_guard<std::mutex> hold(lock);
    return validSlot(slot) ? callsOf[slot].size() : 0;
}

const TessardHarnessReceived* Journal::receivedAt(int slot, std::size_t index) {
    std::lock_guard<std::mutex> hold(lock);
    if (!validSlot(slot) || index >= callsOf[slot].size()) return nullptr;
    return &calls[callsOf[slot][index]].call;
}

std::size_t Journal::sentCount(int slot) {
    std::lock_guard<std::mutex> hold(lock);
    return validSlot(slot) ? messagesOf[slot].size() : 0;
}

const TessardHarnessSent* Journal::sentAt(int slot, std::size_t index) {
    std::lock_guard<std::mutex> hold(lock);
    if (!validSlot(slot) || index >= messagesOf[slot].size()) return nullptr;
    return &messages[messagesOf[slot][index]].record;
}

std::size_t Journal::replyCount(std::uint64_t handle) {
    std::lock_guard<std::mutex> hold(lock);
    const auto found = repliesTo.find(handle);
    return found == repliesTo.end() ? 0 : found->second.size();
}

const TessardHarnessSent* Journal::replyAt(std::uint64_t handle, std::size_t index) {
    std::lock_guard<std::mutex> hold(lock);
    const auto found = repliesTo.find(handle);
    if (found == repliesTo.end() || index >= found->second.size()) return nullptr;
    return &messages[found->second[index]].record;
}

std::size_t Journal::breachCount() {
    std::lock_guard<std::mutex> hold(lock);
    return breaches.size();
}

TessardHarnessBreachKind Journal::breachKind(std::size_t index) {
    std::lock_guard<std::mutex> hold(lock);
    return index < breaches.size() ? breaches[index].kind : TessardHarnessBreachKind(0);
}

const char* Journal::breachText(std::size_t index) {
    std::lock_guard<std::mutex> hold(lock);
    return index < breaches.size() ? breaches[index].text.c_str() : nullptr;
}

std::size_t Journal::logCount() {
    std::lock_guard<std::mutex> hold(lock);
    return lines.size();
}

const char* Journal::logLine(std::size_t index) {
    std::lock_guard<std::mutex> hold(lock);
    return index < lines.size() ? lines[index].c_str() : nullptr;
}

}  // namespace kit
