// pt::SignalStack: a stack of its own for the signal handlers of the thread
// it lives on.
//
// A plugin that overflows its thread's stack raises SIGSEGV with no stack
// left to run a handler on, and the kernel ends the process without a word.
// With a separate signal stack the crash report still runs. Made at the
// start of every thread the server creates and of the main thread; a thread
// that already has one (the sanitizers set up their own) keeps it.
#pragma once

#include <signal.h>

#include <memory>

namespace pt {

class SignalStack {
public:
    SignalStack();
    // Restores the thread's previous signal stack before freeing this one.
    ~SignalStack();

    SignalStack(const SignalStack&) = delete;
    SignalStack& operator=(const SignalStack&) = delete;

private:
    std::unique_ptr<char[]> memory;
    stack_t previous{};
};

}  // namespace pt
