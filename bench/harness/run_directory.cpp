#include "harness/run_directory.h"

#include <atomic>
#include <filesystem>

namespace bench {

namespace {

std::atomic<int> runCount{0};

}  // namespace

RunDirectory::RunDirectory(const std::string& scratch, const std::string& name)
    : root(scratch + "/" + name + "-" + std::to_string(++runCount)) {
    std::filesystem::remove_all(root);
    for (const char* part : {"home", "tmp", "results"}) {
        std::filesystem::create_directories(root + "/" + part);
    }
}

RunDirectory::~RunDirectory() {
    std::error_code ignored;
    if (!kept) std::filesystem::remove_all(root, ignored);
}

std::map<std::string, std::string> RunDirectory::ownEnvironment() const {
    return {{"HOME", root + "/home"}, {"TMPDIR", root + "/tmp"}};
}

}  // namespace bench
