#include "harness/other_build.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace bench {

namespace {

// The value of `name` in a CMake cache ("NAME:TYPE=value"), or "unset".
std::string cacheValue(const std::string& cache, const std::string& name) {
    std::ifstream in(cache);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, name.size() + 1, name + ":") != 0) continue;
        const auto equals = line.find('=');
        if (equals != std::string::npos) return line.substr(equals + 1);
    }
    return "unset";
}

std::string differenceOf(const std::string& what, const std::string& ours, const std::string& theirs) {
    if (ours == theirs) return "";
    return what + " " + theirs + " (this build: " + ours + "); ";
}

}  // namespace

std::optional<OtherBuild> otherBuildAt(const std::string& directory, std::string& error) {
    std::error_code ignored;
    const std::string root = std::filesystem::absolute(directory, ignored).string();
    OtherBuild other{root + "/tessard", ""};
    if (access(other.server.c_str(), X_OK) != 0) {
        error = "no tessard executable in " + root + " (build it there first)";
        return std::nullopt;
    }
    const std::string cache = root + "/CMakeCache.txt";
    other.difference =
        differenceOf("build type", TESSARD_BENCH_BUILD_TYPE, cacheValue(cache, "CMAKE_BUILD_TYPE")) +
        differenceOf("sanitizer", TESSARD_BENCH_SANITIZER, cacheValue(cache, "TESSARD_SANITIZER"));
    return other;
}

}  // namespace bench
