// RefusalLedger: how many messages each sender had refused because the
// event queue was full, and the log lines that tell an operator so.
//
// Refusals come in floods, from any sender's thread: each one is counted
// under `ledgerLock` (the refusal path is the slow path; the accepted path
// never comes here), and a line goes out at most every few seconds. The
// table keeps kMaxSenders senders; refusals of any further sender are
// counted together, so a plugin that invents source values cannot grow it.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

#include "threads/report_gate.h"

class RefusalLedger {
public:
    static constexpr std::size_t kMaxSenders = 64;

    // Counts one refusal of a message from `source` while the queue held
    // `bytesHeld` bytes, and reports the flood now and then.
    void refused(std::uint64_t source, std::size_t bytesHeld);
    // Logs the counts per sender, if any, and forgets them.
    void reportTotals();

    std::uint64_t refusalsOf(std::uint64_t source);

private:
    std::mutex ledgerLock;
    std::map<std::uint64_t, std::uint64_t> counts;  // guarded by ledgerLock
    std::uint64_t others = 0;                       // guarded by ledgerLock
    pt::ReportGate gate{std::chrono::seconds(5)};
};
