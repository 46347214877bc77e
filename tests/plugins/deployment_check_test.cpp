// Warnings about plugins directories and files that others could change.

#include "plugins/deployment_check.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log_capture.h"
#include "temp_dir.h"

namespace {

// The user "nobody" on Debian.
constexpr uid_t kOtherUser = 65534;

class DeploymentCheck : public testing::Test {
protected:
    void SetUp() override {
        plugin = directory / "camera.so";
        writeFile(plugin, "not really a library");
        chmod(directory.path().c_str(), 0755);
        chmod(plugin.c_str(), 0644);
    }

    TempDir directory;
    std::string plugin;
    LogCapture log;
};

TEST_F(DeploymentCheck, OwnedByRootAndNotWritableByOthersIsQuiet) {
    checkPluginsDirectory(directory.path());
    checkPluginFile(plugin);
    EXPECT_TRUE(log.records().empty());
}

TEST_F(DeploymentCheck, WritableByGroupOrOthersIsNamed) {
    chmod(directory.path().c_str(), 0775);
    chmod(plugin.c_str(), 0646);
    checkPluginsDirectory(directory.path());
    checkPluginFile(plugin);
    EXPECT_TRUE(log.contains(wxLOG_Warning, "plugins directory " + directory.path() +
                                                " is writable by group or others"));
    EXPECT_TRUE(log.contains(wxLOG_Warning, "plugin " + plugin + " is writable by group or others"));
}

TEST_F(DeploymentCheck, OwnedByAnotherUserIsNamed) {
    if (geteuid() != 0) GTEST_SKIP() << "changing a file's owner needs root";
    ASSERT_EQ(chown(plugin.c_str(), kOtherUser, kOtherUser), 0);
    checkPluginFile(plugin);
    EXPECT_TRUE(log.contains(wxLOG_Warning, "plugin " + plugin + " is owned by user 65534"));
}

// A path full of printf conversions reaches the log as it is.
TEST_F(DeploymentCheck, PathIsDataNotAFormat) {
    const std::string hostile = directory / "%n%s%x.so";
    writeFile(hostile, "x");
    chmod(hostile.c_str(), 0666);
    checkPluginFile(hostile);
    EXPECT_TRUE(log.contains(wxLOG_Warning, "plugin " + hostile + " is writable"));
}

TEST_F(DeploymentCheck, MissingPathIsQuiet) {
    checkPluginsDirectory(directory / "absent");
    EXPECT_TRUE(log.records().empty());
}

}  // namespace
