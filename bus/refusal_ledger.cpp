#include "bus/refusal_ledger.h"

#include <wx/log.h>

#include "threads/thread_log.h"

void RefusalLedger::refused(std::uint64_t source, std::size_t bytesHeld) {
    {
        std::lock_guard<std::mutex> hold(ledgerLock);
        auto entry = counts.find(source);
        if (entry != counts.end()) {
            ++entry->second;
        } else if (counts.size() < kMaxSenders) {
            counts.emplace(source, 1);
        } else {
            ++others;
        }
    }
    std::uint64_t held = 0;
    if (!gate.admit(held)) return;
    // Logged on the sender's thread, which may be a plugin's own.
    AnyThreadLogScope immediateLog;
    wxLogWarning("the event queue holds %llu MiB, all it may: a message from 0x%llX is refused "
                 "(%llu more refused since the last report)",
                 static_cast<unsigned long long>(bytesHeld >> 20),
                 static_cast<unsigned long long>(source), static_cast<unsigned long long>(held));
}

void RefusalLedger::reportTotals() {
    std::map<std::uint64_t, std::uint64_t> taken;
    std::uint64_t rest = 0;
    {
        std::lock_guard<std::mutex> hold(ledgerLock);
        taken.swap(counts);
        std::swap(rest, others);
    }
    for (const auto& [source, count] : taken) {
        wxLogWarning("sender 0x%llX had %llu messages refused because the event queue was full",
                     static_cast<unsigned long long>(source),
                     static_cast<unsigned long long>(count));
    }
    if (rest != 0) {
        wxLogWarning("further senders had %llu messages refused because the event queue was full",
                     static_cast<unsigned long long>(rest));
    }
}

std::uint64_t RefusalLedger::refusalsOf(std::uint64_t source) {
    std::lock_guard<std::mutex> hold(ledgerLock);
    const auto entry = counts.find(source);
    return entry == counts.end() ? 0 : entry->second;
}
