// pt::thread: one POSIX thread with a small, fixed life cycle.
//
// Construct, start() once, let execute() run, signal() it to ask it to stop,
// then either join it with waitfor() (the owner of a joinable thread does
// this, usually through the subclass destructor) or, for an autofree thread,
// let it delete itself once cleanup() has returned.
//
// The four flags go from 0 to 1 exactly once each, by atomic exchange; the
// old value tells the caller whether it was first and so must act. `running`
// and `signaled` are set by whoever starts or stops the thread, `finished` by
// the thread itself, `freed` by whoever joins, detaches or destroys it. Any
// thread may read them.
#pragma once

#include <pthread.h>

#include <atomic>

#include "threads/timedsem.h"
#include "threads/unknown.h"

namespace pt {

// The calling thread's POSIX handle.
pthread_t currentThread();

// Whether `handle` is the calling thread, compared as a plain integer.
bool isCurrentThread(pthread_t handle);

class thread : public unknown {
public:
    explicit thread(bool autofree);
    // Never joins: a started joinable thread that nobody joined is detached.
    ~thread() override;

    thread(const thread&) = delete;
    thread& operator=(const thread&) = delete;

    // Creates the OS thread; later calls do nothing. Fatal when the system
    // cannot create it.
    void start();
    // The same, but false instead of fatal when the thread cannot be made;
    // the object then never runs, and an autofree one is the caller's to
    // delete.
    bool tryStart();
    // Asks the thread to stop and ends its relax() early; later calls do nothing.
    void signal();
    // Joins the thread; a second call does nothing. Fatal on the thread
    // itself and on an autofree thread.
    void waitfor();

    bool isRunning() const { return running.load() != 0; }
    bool isSignaled() const { return signaled.load() != 0; }
    bool isFinished() const { return finished.load() != 0; }
    pthread_t threadHandle() const { return handle.load(); }

protected:
    // The thread body.
    virtual void execute() = 0;
    // Runs on the thread after execute(), also when execute() threw a
    // pt::exception pointer.
    virtual void cleanup() {}

    // Waits up to `milliseconds` for the stop request (negative: no limit).
    // True when it arrived; it is taken, so the next relax() waits again.
    bool relax(int milliseconds) { return relaxsem.wait(milliseconds); }

private:
    static void* threadEntry(void* self);
    void epilogue();

    // Written by start() and by the thread itself (the same value), cleared by
    // waitfor(); atomic because the router and waitfor() read it elsewhere.
    std::atomic<pthread_t> handle{0};
    const int autofree;
    std::atomic<int> running{0};
    std::atomic<int> signaled{0};
    std::atomic<int> finished{0};
    std::atomic<int> freed{0};
    timedsem relaxsem{0};
};

}  // namespace pt
