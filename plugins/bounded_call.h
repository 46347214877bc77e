// BoundedCall: one plugin call made on a thread of its own, so that the
// caller can wait for it for a limited time and go on without it.
//
// The stop sequence calls every plugin's Close and Unload; a plugin whose
// call never returns would otherwise hold the server's stop for ever and
// keep every later plugin from being closed. The call's thread owns what the
// call needs (the request and result records live in the call object), so
// the caller may leave at any time. A call that has returned has its thread
// joined when the object goes; one that never returns leaves its thread
// behind, which the process ends with.
//
// The call runs on the new thread; `state.lock` guards `finished`.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class BoundedCall {
public:
    // Starts `call` on a thread of its own; when the system cannot make
    // one, runs it on the calling thread before returning.
    explicit BoundedCall(std::function<void()> call);
    // Joins the thread of a call that has returned; leaves a stuck one.
    ~BoundedCall();

    BoundedCall(const BoundedCall&) = delete;
    BoundedCall& operator=(const BoundedCall&) = delete;

    // Waits up to `limit` for the call to return. True when it has.
    bool finishedWithin(std::chrono::milliseconds limit);

private:
    struct State {
        std::function<void()> call;
        std::mutex lock;
        std::condition_variable done;
        bool finished = false;  // guarded by lock
    };

    static void run(const std::shared_ptr<State>& state);

    std::shared_ptr<State> state;
    std::thread thread;
};
