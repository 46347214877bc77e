// Another build tree of the server, to run against this one round by round
// (--compare-build): where its executable is, and whether it was built the
// way this one was, since a Debug or sanitized build would make any
// comparison meaningless.
#pragma once

#include <optional>
#include <string>

namespace bench {

struct OtherBuild {
    std::string server;      // its tessard executable
    std::string difference;  // how its build type or sanitizer differs; empty when alike
};

// The build in `directory` (a CMake build tree of tessard); nothing, with
// the reason in `error`, when it holds no server executable.
std::optional<OtherBuild> otherBuildAt(const std::string& directory, std::string& error);

}  // namespace bench
