#include "plugins/bounded_call.h"

#include <system_error>

#include "threads/signal_stack.h"
#include "threads/thread_log.h"

BoundedCall::BoundedCall(std::function<void()> call) : state(std::make_shared<State>()) {
    state->call = std::move(call);
    try {
        thread = std::thread([shared = state] {
            pt::SignalStack signalStack;
            ThreadLogScope immediateLog;
            run(shared);
        });
    } catch (const std::system_error&) {
        run(state);
    }
}

BoundedCall::~BoundedCall() {
    if (!thread.joinable()) return;
    bool returned = false;
    {
        std::lock_guard<std::mutex> hold(state->lock);
        returned = state->finished;
    }
    // What is left of a call that returned is quick: its thread is joined,
    // so that nothing of it outlives the stop. A stuck one is left running.
    if (returned) {
        thread.join();
    } else {
        thread.detach();
    }
}

void BoundedCall::run(const std::shared_ptr<State>& state) {
    state->call();
    std::lock_guard<std::mutex> hold(state->lock);
    state->finished = true;
    state->done.notify_all();
}

bool BoundedCall::finishedWithin(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> hold(state->lock);
    return state->done.wait_for(hold, limit, [this] { return state->finished; });
}
