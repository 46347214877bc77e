// The installed server: what `cmake --install` puts into a staging
// directory, example plugins built out of the tree against the installed
// SDK through pkg-config, the installed server loading one of them, the
// systemd unit and its sandbox, the man page, the build targets that
// installing and packaging need, and the Debian package.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <vector>

#include "foreground_server.h"
#include "server_process.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using testing::HasSubstr;
using testing::StartsWith;

struct CommandResult {
    int status = -1;
    std::string output;  // standard output and error together
};

// Runs `command` with sh; outside text must be quoted by the caller.
CommandResult run(const std::string& command) {
    CommandResult result;
    FILE* pipe = popen(("exec 2>&1; " + command).c_str(), "r");
    if (pipe == nullptr) return result;
    std::array<char, 4096> buffer;
    for (std::size_t got; (got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0;) {
        result.output.append(buffer.data(), got);
    }
    const int raw = pclose(pipe);
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return result;
}

std::string quoted(const std::string& text) {
    std::string result = "'";
    for (char c : text) result += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return result + "'";
}

// Where an install destination lands below the staging directory: absolute
// ones as they are, relative ones below the prefix.
std::string staged(const std::string& stage, const std::string& destination) {
    if (!destination.empty() && destination[0] == '/') return stage + destination;
    return stage + TESSARD_INSTALL_PREFIX + "/" + destination;
}

bool isExecutableFile(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
           (status.st_mode & S_IXUSR) != 0;
}

std::string unitValue(const std::string& unit, const std::string& key) {
    const std::size_t at = unit.find("\n" + key + "=");
    if (at == std::string::npos) return "";
    const std::size_t start = at + key.size() + 2;
    return unit.substr(start, unit.find('\n', start) - start);
}

// systemd's rule: the longest ReadWritePaths= or ReadOnlyPaths= entry (a
// leading "-" only makes it optional) that holds `path` decides;
// ProtectSystem=strict makes the rest read-only.
bool sandboxLetsWrite(const std::string& unit, const std::string& path) {
    std::size_t longest = 0;
    bool writable = false;
    std::istringstream lines(unit);
    for (std::string line; std::getline(lines, line);) {
        const bool readWrite = line.rfind("ReadWritePaths=", 0) == 0;
        if (!readWrite && line.rfind("ReadOnlyPaths=", 0) != 0) continue;
        std::istringstream entries(line.substr(line.find('=') + 1));
        for (std::string entry; entries >> entry;) {
            if (entry[0] == '-') entry.erase(0, 1);
            if ((path == entry || path.rfind(entry + "/", 0) == 0) && entry.size() >= longest) {
                longest = entry.size();
                writable = readWrite;
            }
        }
    }
    return writable;
}

class InstalledTree : public testing::Test {
protected:
    void SetUp() override {
        const CommandResult install = run("DESTDIR=" + quoted(stage) + " " +
                                          quoted(TESSARD_CMAKE_COMMAND) + " --install " +
                                          quoted(TESSARD_BUILD_DIR));
        ASSERT_EQ(install.status, 0) << install.output;
    }

    std::string prefix() const { return stage + TESSARD_INSTALL_PREFIX; }
    std::string unitPath() const {
        return staged(stage, TESSARD_SYSTEMD_UNIT_DIR) + "/tessard.service";
    }
    std::string manPagePath() const {
        return staged(stage, TESSARD_MAN_DIR) + "/man8/tessard.8.gz";
    }

    TempDir scratch;
    const std::string stage = scratch / "stage";
};

TEST_F(InstalledTree, HoldsTheServerBesideItsPluginsAndTheSdkWithItsPkgConfigFile) {
    EXPECT_TRUE(isExecutableFile(prefix() + "/tessard"));
    EXPECT_TRUE(isExecutableFile(prefix() + "/tessard-inspect"));
    for (const char* example : {"camera", "recorder", "console", "playback_client", "metrics",
                                "skeleton"}) {
        EXPECT_TRUE(fs::is_regular_file(prefix() + "/plugins/" + example + ".so")) << example;
        EXPECT_TRUE(fs::is_regular_file(prefix() + "/share/tessard/examples/" + example + "/" +
                                        example + ".c"))
            << example;
    }
    EXPECT_EQ(readFile(prefix() + "/include/tessard_plugin.h"),
              readFile(std::string(TESSARD_SOURCE_DIR) + "/sdk/tessard_plugin.h"));
    EXPECT_EQ(readFile(prefix() + "/include/tessard_harness.h"),
              readFile(std::string(TESSARD_SOURCE_DIR) + "/kit/harness/tessard_harness.h"));
    EXPECT_TRUE(fs::is_regular_file(prefix() + "/lib/libtessard-harness.so"));
    EXPECT_TRUE(fs::is_regular_file(prefix() + "/share/tessard/doc/plugin-guide.md"));
    EXPECT_TRUE(fs::is_regular_file(prefix() + "/share/tessard/doc/operator-guide.md"));

    const std::string pkgConfig =
        "PKG_CONFIG_PATH=" + quoted(prefix() + "/lib/pkgconfig") + " pkg-config ";
    const CommandResult cflags = run(pkgConfig + "--cflags tessard-plugin");
    ASSERT_EQ(cflags.status, 0) << cflags.output;
    ASSERT_THAT(cflags.output, StartsWith("-I"));
    const std::string includeDir = cflags.output.substr(2, cflags.output.find_first_of(" \n") - 2);
    EXPECT_TRUE(fs::equivalent(includeDir, prefix() + "/include")) << cflags.output;
    const CommandResult plugins = run(pkgConfig + "--variable=plugindir tessard-plugin");
    EXPECT_TRUE(fs::equivalent(plugins.output.substr(0, plugins.output.find('\n')),
                               prefix() + "/plugins"))
        << plugins.output;
}

TEST_F(InstalledTree, RunsAPluginBuiltOutOfTheTreeThroughPkgConfig) {
    // A plugin author's copy of the installed examples, built with the
    // Makefile that comes with them.
    const std::string sources = scratch / "sources";
    fs::copy(prefix() + "/share/tessard/examples", sources, fs::copy_options::recursive);
    const CommandResult make = run("PKG_CONFIG_PATH=" + quoted(prefix() + "/lib/pkgconfig") +
                                   " make -s -C " + quoted(sources));
    ASSERT_EQ(make.status, 0) << make.output;
    for (const char* example : {"camera", "recorder", "console", "playback_client", "metrics",
                                "skeleton"}) {
        EXPECT_TRUE(fs::is_regular_file(sources + "/" + example + ".so")) << example;
    }
    // The console built here takes the installed one's place.
    const std::string console = prefix() + "/plugins/console.so";
    ASSERT_TRUE(fs::remove(console));
    fs::copy_file(sources + "/console.so", console);
    std::vector<std::string> running = {"camera", "recorder", "console", "playback_client"};
#ifdef __SANITIZE_THREAD__
    // GLib and GStreamer synchronise with locks ThreadSanitizer does not
    // see: under it the server runs the console alone.
    for (const char* video : {"camera", "recorder", "playback_client"}) {
        fs::remove(prefix() + "/plugins/" + video + ".so");
    }
    running = {"console"};
#endif

    fs::create_directory(scratch / "home");
    ServerOptions options;
    options.program = prefix() + "/tessard";
    options.arguments = {"-d"};
    options.home = scratch / "home";
    options.environment = sanitizerEnvironment(scratch.path());
    const std::unique_ptr<ServerProcess> server = startForeground(options, scratch.path());
    ASSERT_TRUE(server);
    ASSERT_TRUE(server->waitForOutput("console: memory throttling is enabled (core.xml)"))
        << server->output() << server->errors();
    server->writeInput("\n");
    const std::optional<int> status = server->wait(std::chrono::seconds(60));
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0) << server->errors();
    EXPECT_EQ(sanitizerReports(scratch.path()), "");

    EXPECT_THAT(server->output(), HasSubstr("console: plugin table: core 8.6.2.115651 (tessard)"));
    const std::string table = readFile(prefix() + "/plugins.xml");
    for (const std::string& example : running) {
        EXPECT_THAT(table, HasSubstr("Filename=\"" + example + ".so\" Opened=\"1\" OpenCode=\"0\""));
    }
    EXPECT_TRUE(fs::is_regular_file(prefix() + "/core.xml"));
}

// Catches: a harness a plugin author cannot use from the installed tree
// with pkg-config alone (a header, the library, a flag or the run path
// missing), an installed skeleton that does not build or fails its test,
// and a tessard-inspect that is not installed beside the server or finds
// fault with the skeleton.
TEST_F(InstalledTree, TestsAPluginOutOfTheTreeThroughTheInstalledHarness) {
    const std::string author = scratch / "author";
    fs::create_directory(author);
    const std::string pkgConfig =
        "export PKG_CONFIG_PATH=" + quoted(prefix() + "/lib/pkgconfig") + "; ";
    const CommandResult plugin =
        run(pkgConfig + "cc -std=c99 -Wall -Werror -fPIC -shared " +
            "$(pkg-config --cflags tessard-plugin) -o " + quoted(author + "/skeleton.so") + " " +
            quoted(prefix() + "/share/tessard/examples/skeleton/skeleton.c"));
    ASSERT_EQ(plugin.status, 0) << plugin.output;
    const CommandResult test =
        run(pkgConfig + "cc -std=c99 -Wall -Werror -o " + quoted(author + "/skeleton_check") + " " +
            quoted(std::string(TESSARD_SOURCE_DIR) + "/tests/kit/out_of_tree/skeleton_check.c") +
            " $(pkg-config --cflags --libs tessard-harness)");
    ASSERT_EQ(test.status, 0) << test.output;
    const CommandResult checked =
        run(quoted(author + "/skeleton_check") + " " + quoted(author + "/skeleton.so"));
    EXPECT_EQ(checked.status, 0) << checked.output;
    EXPECT_THAT(checked.output, HasSubstr("skeleton_check: passed"));

    const CommandResult inspected =
        run(quoted(prefix() + "/tessard-inspect") + " " + quoted(author + "/skeleton.so"));
    EXPECT_EQ(inspected.status, 0) << inspected.output;
    EXPECT_THAT(inspected.output, HasSubstr("id             0x7E550070"));
}

// Catches: a unit that starts another executable, loses its watchdog or
// restart, a sandbox that forbids a file the server or its plugins write
// (the PID file, "plugins.xml", "core.xml", the recorder's recordings, the
// lock in $HOME) or lets the server change its own code, a sandbox weakened
// above a rating of 4.0, and any complaint of systemd-analyze verify.
TEST_F(InstalledTree, SystemdUnitNamesTheInstalledDaemonSandboxesItAndVerifies) {
    const std::string unit = readFile(unitPath());
    ASSERT_FALSE(unit.empty()) << unitPath();
    EXPECT_EQ(unitValue(unit, "Type"), "forking");
    EXPECT_EQ(unitValue(unit, "PIDFile"), "/run/tessard.pid");
    const std::string tree = TESSARD_INSTALL_PREFIX;
    EXPECT_EQ(unitValue(unit, "ExecStart"), tree + "/tessard");
    EXPECT_EQ(unitValue(unit, "NotifyAccess"), "main");
    EXPECT_EQ(unitValue(unit, "Restart"), "on-failure");
    EXPECT_NE(unitValue(unit, "WatchdogSec"), "");

    EXPECT_EQ(unitValue(unit, "ProtectSystem"), "strict");
    for (const std::string& written : {unitValue(unit, "PIDFile"), tree + "/plugins.xml",
                                       tree + "/core.xml", tree + "/recordings/camera-1.frames"}) {
        EXPECT_TRUE(sandboxLetsWrite(unit, written)) << written;
    }
    for (const std::string& code : {tree + "/tessard", tree + "/plugins/recorder.so",
                                    tree + "/lib/systemd/system/tessard.service"}) {
        EXPECT_FALSE(sandboxLetsWrite(unit, code)) << code;
    }
    EXPECT_EQ(unitValue(unit, "Environment"), "HOME=%S/" + unitValue(unit, "StateDirectory"));

    // systemd-analyze checks that ExecStart names an executable on this
    // machine; the copy it verifies names the staged one instead. Its man
    // page check finds the staged man page through MANPATH.
    fs::create_directory(scratch / "verify");
    std::string copy = unit;
    const std::string exec = "ExecStart=" + unitValue(unit, "ExecStart");
    copy.replace(copy.find(exec), exec.size(), "ExecStart=" + prefix() + "/tessard");
    writeFile(scratch / "verify/tessard.service", copy);
    const CommandResult verify =
        run("MANPATH=" + quoted(staged(stage, TESSARD_MAN_DIR)) + " systemd-analyze verify " +
            quoted(scratch / "verify/tessard.service"));
    EXPECT_EQ(verify.status, 0) << verify.output;
    EXPECT_EQ(verify.output, "");

    // The threshold is the rating times ten.
    const CommandResult security = run("systemd-analyze security --offline=yes --threshold=40 " +
                                       quoted(scratch / "verify/tessard.service"));
    EXPECT_EQ(security.status, 0) << security.output;
    EXPECT_THAT(security.output, HasSubstr("Overall exposure level for tessard.service: "));
}

TEST_F(InstalledTree, ManPageRendersWithoutWarnings) {
    const CommandResult render =
        run("gzip -dc " + quoted(manPagePath()) + " | groff -man -Tutf8 -ww -z");
    EXPECT_EQ(render.status, 0) << render.output;
    EXPECT_EQ(render.output, "");
    const CommandResult text = run("MANWIDTH=200 man -l " + quoted(manPagePath()));
    EXPECT_THAT(text.output,
                HasSubstr("tessard - core process of a video-surveillance recording server"));
}

// The build outputs a test deletes to see whether a build makes them again;
// they are made again when it ends, whatever happened.
class RemovedOutputs {
public:
    RemovedOutputs() {
        fs::remove(manPage);
        fs::remove(inspector);
        fs::remove(harness);
        fs::remove(TESSARD_HOST_SHIM);
    }
    ~RemovedOutputs() {
        run(quoted(TESSARD_CMAKE_COMMAND) + " --build " + quoted(TESSARD_BUILD_DIR) +
            " --target tessard_man_page tessard-inspect tessard_harness tessard_host_shim");
    }
    const std::string manPage = std::string(TESSARD_BUILD_DIR) + "/packaging/tessard.8.gz";
    const std::string inspector = std::string(TESSARD_BUILD_DIR) + "/tessard-inspect";
    const std::string harness = std::string(TESSARD_BUILD_DIR) + "/kit/libtessard-harness.so";
};

// Catches: an installed file that only the "all" target makes (the man page
// was one; the kit's inspector and harness library would be), so that `cmake --install` fails after the README's
// `./scripts/run.sh`, which builds the demo target; the unit or the man page
// installed at a fixed system path instead of below the chosen prefix and
// DESTDIR, or a unit that starts the default prefix's executable; a cpack
// that builds everything, the test suite included, or does not build what
// it packages. The host shim, a library of the end-to-end tests, stands for
// the suite.
TEST(BuildTargets, InstallAnywhereNeedsOnlyTheDemoTargetAndCpackBuildsNoTest) {
    TempDir scratch;
    RemovedOutputs removed;
    const std::string cmake = quoted(TESSARD_CMAKE_COMMAND);
    const CommandResult demo = run(cmake + " --build " + quoted(TESSARD_BUILD_DIR) + " --target demo");
    ASSERT_EQ(demo.status, 0) << demo.output;
    const std::string prefix = scratch / "elsewhere";
    const std::string stage = scratch / "stage";
    const CommandResult install = run("DESTDIR=" + quoted(stage) + " " + cmake + " --install " +
                                      quoted(TESSARD_BUILD_DIR) + " --prefix " + quoted(prefix));
    ASSERT_EQ(install.status, 0) << install.output;
    for (const auto& entry : fs::recursive_directory_iterator(stage)) {
        if (!entry.is_regular_file()) continue;
        EXPECT_THAT(entry.path().string(), StartsWith(stage + prefix));
    }
    const std::string unit =
        readFile(stage + prefix + "/" + TESSARD_SYSTEMD_UNIT_DIR + "/tessard.service");
    EXPECT_EQ(unitValue(unit, "ExecStart"), prefix + "/tessard");
    EXPECT_TRUE(fs::is_regular_file(stage + prefix + "/" + TESSARD_MAN_DIR + "/man8/tessard.8.gz"));

    fs::remove(removed.manPage);
    const CommandResult pack = run(quoted(TESSARD_CPACK_COMMAND) + " --config " +
                                   quoted(std::string(TESSARD_BUILD_DIR) + "/CPackConfig.cmake") +
                                   " -G DEB -B " + quoted(scratch.path()));
    EXPECT_EQ(pack.status, 0) << pack.output;
    EXPECT_TRUE(fs::is_regular_file(removed.manPage));
    EXPECT_FALSE(fs::exists(TESSARD_HOST_SHIM));
}

// Catches: a package without the server's tree, the unit or the man page
// where the system looks for them, the copyright file or the changelog, and
// anything lintian counts as an error or a warning.
TEST(DebianPackage, HoldsTheTreeTheUnitTheManPageAndItsPapersAndPassesLintian) {
    TempDir scratch;
    const CommandResult pack =
        run(quoted(TESSARD_CPACK_COMMAND) + " --config " +
            quoted(std::string(TESSARD_BUILD_DIR) + "/CPackConfig.cmake") + " -G DEB -B " +
            quoted(scratch.path()));
    ASSERT_EQ(pack.status, 0) << pack.output;
    const std::string package = scratch / "tessard_8.6.2_amd64.deb";
    ASSERT_TRUE(fs::is_regular_file(package)) << pack.output;

    const CommandResult contents = run("dpkg-deb -c " + quoted(package));
    ASSERT_EQ(contents.status, 0) << contents.output;
    for (const char* path :
         {"./opt/tessard/tessard", "./opt/tessard/plugins/", "./opt/tessard/plugins/recorder.so",
          "./opt/tessard/include/tessard_plugin.h", "./opt/tessard/lib/pkgconfig/tessard-plugin.pc",
          "./lib/systemd/system/tessard.service", "./usr/share/man/man8/tessard.8.gz",
          "./usr/share/doc/tessard/copyright", "./usr/share/doc/tessard/changelog.gz"}) {
        EXPECT_THAT(contents.output, HasSubstr(std::string(" ") + path + "\n")) << path;
    }
    const CommandResult fields = run("dpkg-deb -f " + quoted(package) + " Package Version Depends");
    EXPECT_THAT(fields.output, HasSubstr("Package: tessard\n"));
    EXPECT_THAT(fields.output, HasSubstr("Version: 8.6.2\n"));
    EXPECT_THAT(fields.output, HasSubstr("libdaemon0"));
    EXPECT_THAT(fields.output, HasSubstr("libtinyxml"));
    const CommandResult unit = run("dpkg-deb --fsys-tarfile " + quoted(package) +
                                   " | tar -xOf - ./lib/systemd/system/tessard.service");
    EXPECT_EQ(unitValue(unit.output, "ExecStart"), "/opt/tessard/tessard");

    const CommandResult lintian = run("lintian --fail-on error,warning " + quoted(package));
    EXPECT_EQ(lintian.status, 0) << lintian.output;
}

}  // namespace
