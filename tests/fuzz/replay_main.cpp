// The replay driver: feeds every file of the corpus directories (or files)
// named on the command line to the target, one at a time, in name order, as
// libFuzzer would replay them. It fails when a check of the target fails,
// and when there was no input at all, so that a lost corpus cannot pass.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

// Absolute paths, since a target may change the working directory.
std::vector<std::string> inputsIn(const std::string& argument) {
    const std::filesystem::path place = std::filesystem::absolute(argument);
    std::vector<std::string> paths;
    if (!std::filesystem::is_directory(place)) return {place.string()};
    for (const auto& entry : std::filesystem::directory_iterator(place)) {
        if (entry.is_regular_file()) paths.push_back(entry.path().string());
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::vector<std::uint8_t> contentOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) fuzz::fail("cannot read " + path);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        for (const std::string& path : inputsIn(argv[i])) {
            const std::vector<std::uint8_t> input = contentOf(path);
            std::printf("replaying %s (%zu bytes)\n", path.c_str(), input.size());
            std::fflush(stdout);
            LLVMFuzzerTestOneInput(input.data(), input.size());
            ++replayed;
        }
    }
    std::printf("%zu inputs replayed\n", replayed);
    return replayed > 0 ? 0 : 1;
}
