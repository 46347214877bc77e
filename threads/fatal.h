// The end of the road for failures that leave no sane way on: a thread or a
// semaphore that cannot be created, a thread asked to join itself.
#pragma once

namespace pt {

// Fatal-error codes; the process exit status is the code's low eight bits.
enum FatalCode : int {
    FATAL_NO_MEMORY = 0xC0005,
    FATAL_STRING_OVERFLOW = 0xC0015,
    FATAL_THREAD_CREATE = 0xC0028,
    FATAL_SEMAPHORE = 0xC0029,
    FATAL_WAITFOR_SELF = 0xC002F,
    FATAL_WAITFOR_AUTOFREE = 0xC0030,
};

// Writes "\nInternal [<code in hex>]: <message>\n" to standard error and the
// same line to the system log, and exits with the code. Safe to call from
// any thread.
[[noreturn]] void fatal(int code, const char* message);

}  // namespace pt
