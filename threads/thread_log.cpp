#include "threads/thread_log.h"

#include <thread>

namespace {

// Passes each record on, unchanged, to the target it was given.
class LogForwarder : public wxLog {
public:
    explicit LogForwarder(wxLog* target) : target(target) {}

protected:
    void DoLogRecord(wxLogLevel level, const wxString& message,
                     const wxLogRecordInfo& info) override {
        if (target) target->LogRecord(level, message, info);
    }

private:
    wxLog* const target;
};

}  // namespace

void ThreadLogScope::prepare() {
    // The toolkit allows thread targets only on other threads, so a short-lived
    // one asks for the bookkeeping; joining it publishes what it made.
    std::thread([] { wxLog::SetThreadActiveTarget(nullptr); }).join();
}

ThreadLogScope::ThreadLogScope()
    // Asked before this thread has a target of its own, GetActiveTarget()
    // answers with the main thread's.
    : forwarder(std::make_unique<LogForwarder>(wxLog::GetActiveTarget())),
      previous(wxLog::SetThreadActiveTarget(forwarder.get())) {}

ThreadLogScope::~ThreadLogScope() { wxLog::SetThreadActiveTarget(previous); }
