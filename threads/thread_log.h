// Immediate logging from the server's own threads.
//
// The toolkit holds back records logged on any thread but the main one until
// the main thread flushes them, and the server's main thread spends its life
// blocked in select() or in a read from standard input. A thread that may log
// therefore opens a ThreadLogScope first: for its lifetime, the thread's
// records go straight to the target that was active on the main thread when
// the scope opened (syslog in the daemon, standard error in the foreground).
// Both of those targets are safe to call from several threads at once.
#pragma once

#include <wx/log.h>

#include <wx/thread.h>

#include <memory>
#include <optional>

class ThreadLogScope {
public:
    // Makes the toolkit's shared per-thread bookkeeping before the server's
    // threads start. The toolkit creates it lazily, on the first thread that
    // asks, and two threads racing to be first would each see the other's
    // half-made state. Call on the main thread before starting any thread.
    static void prepare();

    ThreadLogScope();
    ~ThreadLogScope();

    ThreadLogScope(const ThreadLogScope&) = delete;
    ThreadLogScope& operator=(const ThreadLogScope&) = delete;

private:
    std::unique_ptr<wxLog> forwarder;
    wxLog* previous;
};

// For code that logs on whichever thread calls it: a plugin's own thread,
// a worker's. On any thread but the main one, whose records go out at once
// anyway, it opens a ThreadLogScope for its lifetime; a thread that already
// has a scope of its own gets one that forwards to it.
class AnyThreadLogScope {
public:
    AnyThreadLogScope() {
        if (!wxThread::IsMain()) scope.emplace();
    }

private:
    std::optional<ThreadLogScope> scope;
};
