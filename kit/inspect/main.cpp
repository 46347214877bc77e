// tessard-inspect: what the core will make of a plugin library, before it is
// installed.
//
//   tessard-inspect [--json] [--timeout SECONDS] PLUGIN.so
//
// Loads the library in a child process, calls its Load with a callback that
// records what the plugin sends (and nothing else: no Open), and prints its
// entry points, its id, its masks in words, the core's notices it receives,
// its place in the close order and every contract breach found. The exit
// status is 0 without a breach, 1 with one, 2 when the arguments are wrong,
// so that a plugin's build can stop on a breach.

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "kit/inspect/isolated_load.h"
#include "kit/inspect/report.h"
#include "kit/inspect/verdict.h"

namespace {

constexpr int kDefaultTimeoutSeconds = 10;

struct Arguments {
    bool json = false;
    int timeoutSeconds = kDefaultTimeoutSeconds;
    std::string plugin;
};

int usage() {
    std::cerr << "usage: tessard-inspect [--json] [--timeout SECONDS] PLUGIN.so\n";
    return 2;
}

bool parse(int argc, char** argv, Arguments& arguments) {
    for (int at = 1; at < argc; ++at) {
        const std::string word = argv[at];
        if (word == "--json") {
            arguments.json = true;
        } else if (word == "--timeout" && at + 1 < argc) {
            arguments.timeoutSeconds = std::atoi(argv[++at]);
            if (arguments.timeoutSeconds <= 0) return false;
        } else if (word.rfind("--", 0) == 0 || !arguments.plugin.empty()) {
            return false;
        } else {
            arguments.plugin = word;
        }
    }
    return !arguments.plugin.empty();
}

}  // namespace

int main(int argc, char** argv) {
    Arguments arguments;
    if (!parse(argc, argv, arguments)) return usage();
    const kit::Verdict verdict = kit::judge(
        kit::loadIsolated(arguments.plugin, std::chrono::seconds(arguments.timeoutSeconds)));
    if (arguments.json) {
        kit::printJson(verdict, std::cout);
    } else {
        kit::printText(verdict, std::cout);
    }
    return verdict.breaches.empty() ? 0 : 1;
}
