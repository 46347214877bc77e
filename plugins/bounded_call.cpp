#include "plugins/bounded_call.h"

#include <system_error>
#include <thread>

#include "app/thread_log.h"
#include "threads/signal_stack.h"

BoundedCall::BoundedCall(std::function<void()> call) : state(std::make_shared<State>()) {
    state->call = std::move(call);
    try {
        std::thread([shared = state] {
            pt::SignalStack signalStack;
            ThreadLogScope immediateLog;
            run(shared);
        }).detach();
    } catch (const std::system_error&) {
        run(state);
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
