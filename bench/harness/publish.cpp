#include "harness/publish.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "harness/child_process.h"

namespace bench {

namespace {

constexpr const char* kBegin = "<!-- bench results begin -->";
constexpr const char* kEnd = "<!-- bench results end -->";

}  // namespace

bool publishToDocs(const std::string& markdown, const std::vector<std::string>& plots) {
    const std::string path = std::string(TESSARD_BENCH_SOURCE_DIR) + "/../docs/performance.md";
    const std::string page = readWholeFile(path);
    const auto begin = page.find(kBegin);
    const auto end = page.find(kEnd);
    if (begin == std::string::npos || end == std::string::npos || end < begin) return false;
    std::ostringstream section;
    section << kBegin << "\n\n" << markdown << '\n';
    for (const std::string& plot : plots) {
        const std::string name = std::filesystem::path(plot).filename().string();
        section << "![" << name << "](../bench/results/" << name << ")\n\n";
    }
    std::ofstream out(path);
    out << page.substr(0, begin) << section.str() << page.substr(end);
    return static_cast<bool>(out);
}

}  // namespace bench
