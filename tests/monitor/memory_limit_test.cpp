// The heap ceiling: computed from the machine's memory and name, and the two
// system readings it is computed from.

#include "monitor/memory_limit.h"

#include <sys/sysinfo.h>
#include <sys/utsname.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "monitor/cgroup_memory.h"
#include "temp_dir.h"

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

// Catches a ceiling above the control group's limit, where the kernel kills
// the server before it ever throttles, and one that changes without a limit.
TEST(MemoryLimit, ControlGroupLimitCapsTheCeiling) {
    MemoryFacts facts = machine(24 * kGiB, "x86_64");
    EXPECT_EQ(memoryLimitFor(facts), 3 * kGiB);
    facts.groupLimit = kGiB;
    EXPECT_EQ(memoryLimitFor(facts), 3 * kGiB / 4);
    facts.groupLimit = 16 * kGiB;
    EXPECT_EQ(memoryLimitFor(facts), 3 * kGiB);
}

// A system laid out under a directory of the test's own: /proc/self/cgroup,
// /proc/self/mountinfo and the group directories.
class GroupLayout {
public:
    void file(const std::string& path, const std::string& text) {
        std::filesystem::create_directories(std::filesystem::path(root / path).parent_path());
        writeFile(root / path, text);
    }
    std::optional<std::uint64_t> limit() const { return cgroupMemoryLimit(root.path()); }

private:
    TempDir root;
};

// Catches a limit read from the wrong hierarchy or group, an ancestor's
// lower limit missed, and "no limit" taken for a number.
TEST(MemoryLimit, ControlGroupLimitIsTheLowestOfTheGroupAndItsAncestors) {
    GroupLayout unified;
    unified.file("proc/self/cgroup", "0::/system.slice/tessard.service\n");
    unified.file("proc/self/mountinfo",
                 "24 1 0:21 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw\n");
    unified.file("sys/fs/cgroup/system.slice/tessard.service/memory.max", "max\n");
    EXPECT_EQ(unified.limit(), std::nullopt);
    unified.file("sys/fs/cgroup/system.slice/memory.max", "1073741824\n");
    EXPECT_EQ(unified.limit(), kGiB);
    unified.file("sys/fs/cgroup/system.slice/tessard.service/memory.max", "536870912\n");
    EXPECT_EQ(unified.limit(), kGiB / 2);

    // The first version's memory controller, mounted to show a group of a
    // container at its top; its "no limit" is a huge number.
    GroupLayout legacy;
    legacy.file("proc/self/cgroup", "9:pids:/box/a\n4:memory:/box/a\n0::/\n");
    legacy.file("proc/self/mountinfo",
                "30 25 0:26 / /sys/fs/cgroup/pids rw - cgroup cgroup rw,pids\n"
                "31 25 0:27 /box /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n");
    legacy.file("sys/fs/cgroup/memory/a/memory.limit_in_bytes", "9223372036854771712\n");
    legacy.file("sys/fs/cgroup/memory/memory.limit_in_bytes", "2147483648\n");
    EXPECT_EQ(legacy.limit(), 2 * kGiB);

    GroupLayout none;
    EXPECT_EQ(none.limit(), std::nullopt);
}

}  // namespace
