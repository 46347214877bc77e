#include "monitor/memory_limit.h"

#include <sys/sysinfo.h>
#include <sys/utsname.h>

#include <algorithm>

#include "monitor/cgroup_memory.h"

namespace {

constexpr std::uint64_t kTwoGiB = UINT64_C(0x80000000);
constexpr std::uint64_t kThreeGiB = UINT64_C(0xC0000000);

}  // namespace

MemoryFacts readMemoryFacts() {
    MemoryFacts facts;
    struct sysinfo memory;
    if (sysinfo(&memory) == 0) {
        facts.haveTotalRam = true;
        facts.totalRam = static_cast<std::uint64_t>(memory.mem_unit) * memory.totalram;
    }
    struct utsname name;
    if (uname(&name) == 0) {
        facts.haveMachine = true;
        facts.machine = name.machine;
    }
    facts.groupLimit = cgroupMemoryLimit();
    return facts;
}

namespace {

std::uint64_t machineLimitFor(const MemoryFacts& facts) {
    if (!facts.haveTotalRam || !facts.haveMachine) return kTwoGiB;
    if (facts.totalRam > kThreeGiB) return facts.machine == "x86_64" ? kThreeGiB : kTwoGiB;
    if (facts.totalRam > kTwoGiB) return kTwoGiB;
    return facts.totalRam;
}

}  // namespace

std::uint64_t memoryLimitFor(const MemoryFacts& facts) {
    const std::uint64_t machine = machineLimitFor(facts);
    if (!facts.groupLimit) return machine;
    return std::min(machine, *facts.groupLimit / 4 * 3);
}
