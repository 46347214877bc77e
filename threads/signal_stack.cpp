#include "threads/signal_stack.h"

#include <unistd.h>

#include <algorithm>

namespace pt {

namespace {

// Room for the crash report and the C library's part of delivering it.
constexpr std::size_t kMinimumSize = 64 * 1024;

}  // namespace

SignalStack::SignalStack() {
    if (sigaltstack(nullptr, &previous) != 0 || (previous.ss_flags & SS_DISABLE) == 0) return;
    const long wanted = sysconf(_SC_SIGSTKSZ);
    const std::size_t size = std::max(kMinimumSize, wanted > 0 ? static_cast<std::size_t>(wanted) : 0);
    memory.reset(new (std::nothrow) char[size]);
    if (!memory) return;
    stack_t own{};
    own.ss_sp = memory.get();
    own.ss_size = size;
    if (sigaltstack(&own, nullptr) != 0) memory.reset();
}

SignalStack::~SignalStack() {
    if (memory) sigaltstack(&previous, nullptr);
}

}  // namespace pt
