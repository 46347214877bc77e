// The heap ceiling: computed from the machine's memory and name, and the two
// system readings it is computed from.

#include "monitor/memory_limit.h"

#include <sys/sysinfo.h>
#include <sys/utsname.h>

#include <gtest/gtest.h>

namespace {

constexpr std::uint64_t kGiB = UINT64_C(1) << 30;

MemoryFacts machine(std::uint64_t totalRam, const std::string& name) {
    MemoryFacts facts;
    facts.haveTotalRam = true;
    facts.totalRam = totalRam;
    facts.haveMachine = true;
    facts.machine = name;
    return facts;
}

TEST(MemoryLimit, LargeMachineGetsThreeGiBOnlyWhenNamedX86_64) {
    EXPECT_EQ(memoryLimitFor(machine(4 * kGiB, "x86_64")), 3 * kGiB);
    EXPECT_EQ(memoryLimitFor(machine(64 * kGiB, "x86_64")), 3 * kGiB);
    EXPECT_EQ(memoryLimitFor(machine(4 * kGiB, "aarch64")), 2 * kGiB);
    EXPECT_EQ(memoryLimitFor(machine(4 * kGiB, "i686")), 2 * kGiB);
    // The name must match exactly.
    EXPECT_EQ(memoryLimitFor(machine(4 * kGiB, "x86_64 ")), 2 * kGiB);
    EXPECT_EQ(memoryLimitFor(machine(4 * kGiB, "X86_64")), 2 * kGiB);
    EXPECT_EQ(memoryLimitFor(machine(4 * kGiB, "")), 2 * kGiB);
}

TEST(MemoryLimit, MiddleMachineGetsTwoGiB) {
    EXPECT_EQ(memoryLimitFor(machine(5 * kGiB / 2, "x86_64")), 2 * kGiB);
    EXPECT_EQ(memoryLimitFor(machine(5 * kGiB / 2, "armv7l")), 2 * kGiB);
}

TEST(MemoryLimit, SmallMachineGetsItsWholeMemory) {
    EXPECT_EQ(memoryLimitFor(machine(kGiB, "x86_64")), kGiB);
    EXPECT_EQ(memoryLimitFor(machine(kGiB + 4096, "armv7l")), kGiB + 4096);
    EXPECT_EQ(memoryLimitFor(machine(0, "x86_64")), 0u);
}

// Each threshold belongs to the band below it.
TEST(MemoryLimit, BoundariesBelongToTheLowerBand) {
    EXPECT_EQ(memoryLimitFor(machine(3 * kGiB, "x86_64")), 2 * kGiB);
    EXPECT_EQ(memoryLimitFor(machine(3 * kGiB + 1, "x86_64")), 3 * kGiB);
    EXPECT_EQ(memoryLimitFor(machine(3 * kGiB + 1, "sparc64")), 2 * kGiB);
    EXPECT_EQ(memoryLimitFor(machine(2 * kGiB, "x86_64")), 2 * kGiB);
    EXPECT_EQ(memoryLimitFor(machine(2 * kGiB - 1, "x86_64")), 2 * kGiB - 1);
    EXPECT_EQ(memoryLimitFor(machine(2 * kGiB + 1, "x86_64")), 2 * kGiB);
}

TEST(MemoryLimit, FailedReadingGivesTwoGiB) {
    MemoryFacts noMemory = machine(kGiB, "x86_64");
    noMemory.haveTotalRam = false;
    EXPECT_EQ(memoryLimitFor(noMemory), 2 * kGiB);
    MemoryFacts noName = machine(64 * kGiB, "x86_64");
    noName.haveMachine = false;
    EXPECT_EQ(memoryLimitFor(noName), 2 * kGiB);
    EXPECT_EQ(memoryLimitFor(MemoryFacts()), 2 * kGiB);
}

TEST(MemoryLimit, ReadsThisMachinesMemoryAndName) {
    struct sysinfo memory;
    ASSERT_EQ(sysinfo(&memory), 0);
    struct utsname name;
    ASSERT_EQ(uname(&name), 0);
    const MemoryFacts facts = readMemoryFacts();
    EXPECT_TRUE(facts.haveTotalRam);
    EXPECT_EQ(facts.totalRam, static_cast<std::uint64_t>(memory.mem_unit) * memory.totalram);
    EXPECT_TRUE(facts.haveMachine);
    EXPECT_EQ(facts.machine, std::string(name.machine));
}

}  // namespace
