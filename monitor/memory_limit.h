// The ceiling for the process heap, from the machine's physical memory and
// name: the whole memory of a small machine, 2 GiB of a larger one, 3 GiB of
// a 64-bit PC with more than 3 GiB. When the server's control group has a
// memory limit below that, the ceiling is three quarters of the limit: the
// rest is for the code, the stacks and what the kernel counts besides the
// heap, so that the server throttles before the kernel kills it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The two system readings the ceiling is computed from.
struct MemoryFacts {
    bool haveTotalRam = false;  // sysinfo(2) answered
    std::uint64_t totalRam = 0;  // memory unit times total RAM
    bool haveMachine = false;  // uname(2) answered
    std::string machine;
    std::optional<std::uint64_t> groupLimit;  // the control group's memory limit
};

MemoryFacts readMemoryFacts();

std::uint64_t memoryLimitFor(const MemoryFacts& facts);
