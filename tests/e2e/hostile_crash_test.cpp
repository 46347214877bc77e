// A plugin that crashes the server, end to end: before the process dies it
// names the plugin and the entry point, on standard error and in one
// datagram to the system logger's socket. The machines the tests run on
// have no "/dev/log"; the host shim connects the server's socket for it to
// one the test binds instead.

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>

#include "hostile_plugins.h"
#include "server_dir.h"

namespace {

using namespace std::chrono_literals;

// A datagram socket bound at a path, closed and removed when it goes.
class DatagramSink {
public:
    explicit DatagramSink(const std::string& path) : path(path) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (descriptor >= 0 &&
            bind(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            ADD_FAILURE() << "cannot bind " << path;
        }
    }
    ~DatagramSink() {
        close(descriptor);
        unlink(path.c_str());
    }

    // Every datagram that has arrived.
    std::vector<std::string> received() const {
        std::vector<std::string> datagrams;
        char buffer[2048];
        for (ssize_t got; (got = recv(descriptor, buffer, sizeof buffer, 0)) >= 0;) {
            datagrams.emplace_back(buffer, static_cast<std::size_t>(got));
        }
        return datagrams;
    }

private:
    const std::string path;
    const int descriptor = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
};

// Fault 7: a plugin that crashed took the server down silently; the only
// trace naming it was the kernel's line.
TEST(HostileCrash, NamesThePluginThatCrashedTheServer) {
    ServerDir dir;
    HostilePlugins plugins(dir);
    plugins.install("crasher");
    DatagramSink systemLog(dir / "log");
    Launch launch;
    launch.arguments = {"-d"};
    launch.environment = plugins.environment();
    launch.environment["TESSARD_TEST_DEV_LOG"] = dir / "log";
    auto server = dir.start("run", launch);

    const std::optional<int> status = server->wait(120s);
    ASSERT_TRUE(status.has_value()) << "the server did not end";
    EXPECT_EQ(plugins.count("crasher", "crashing"), 1u);
    const std::string line = "plugin crasher.so crashed the server in Write (signal 11, SIGSEGV)";
    EXPECT_EQ(occurrences(server->errors(), "tessard: " + line + "\n"), 1u) << server->errors();
    EXPECT_EQ(systemLog.received(),
              std::vector<std::string>{"<26>tessard[" + std::to_string(server->pid()) + "]: " + line});
    // The signal then takes its course: it kills the plain build; a
    // sanitizer reports the fault as its own and ends the process.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    EXPECT_NE(*status, 0);
    EXPECT_NE(dir.sanitizerReports().find("SEGV"), std::string::npos);
#else
    EXPECT_EQ(*status, 128 + SIGSEGV);
    EXPECT_EQ(dir.sanitizerReports(), "");
#endif
}

}  // namespace
