// What the kit's tests share: a harness made and destroyed with the test,
// waiting on the harness for a condition, the harness's breaches as text,
// copies of a plugin under other names, and running a command.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>
#include <type_traits>
#include <vector>

#include "tessard_harness.h"

namespace kit_test {

// The patience for anything a plugin does on its own threads, under a
// sanitizer on a loaded machine.
constexpr unsigned kPatienceMs = 120000;

class HarnessScope {
public:
    HarnessScope() : harness(tessardHarnessCreate()) {}
    ~HarnessScope() {
        if (harness != nullptr) tessardHarnessDestroy(harness);
    }
    HarnessScope(const HarnessScope&) = delete;
    HarnessScope& operator=(const HarnessScope&) = delete;

    TessardHarness* get() const { return harness; }

    // Every breach, one sentence each.
    std::vector<std::string> breaches() const {
        std::vector<std::string> texts;
        for (std::size_t at = 0; at < tessardHarnessBreachCount(harness); ++at) {
            texts.push_back(tessardHarnessBreachText(harness, at));
        }
        return texts;
    }

private:
    TessardHarness* harness;
};

// Hands out events until `condition()` holds; false when it did not in time.
template <typename Condition>
bool waitFor(TessardHarness* harness, Condition condition, unsigned limitMs = kPatienceMs) {
    auto call = [](void* context) { return (*static_cast<Condition*>(context))() ? 1 : 0; };
    return tessardHarnessWaitFor(harness, call, &condition, limitMs) != 0;
}

// The Write calls the plugin `id` received for events of `type`.
inline std::vector<const TessardHarnessReceived*> writesOf(TessardHarness* harness,
                                                           std::uint64_t id, std::uint64_t type) {
    std::vector<const TessardHarnessReceived*> found;
    for (std::size_t at = 0; at < tessardHarnessReceivedCount(harness, id); ++at) {
        const TessardHarnessReceived* call = tessardHarnessReceivedAt(harness, id, at);
        if (call->entry == TESSARD_HARNESS_WRITE && call->type == type) found.push_back(call);
    }
    return found;
}

inline std::string payloadOf(const TessardHarnessReceived* call) {
    return call->payload != nullptr
               ? std::string(static_cast<const char*>(call->payload), call->length)
               : std::string();
}

// A copy of the library at `from` named `name` in `directory`.
inline std::string copyAs(const std::string& from, const std::string& directory,
                          const std::string& name) {
    const std::string to = directory + "/" + name;
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
    return to;
}

struct CommandResult {
    int status = -1;
    std::string output;
};

// Runs `command` with sh, standard output only.
inline CommandResult runCommand(const std::string& command) {
    CommandResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    std::array<char, 4096> buffer;
    for (std::size_t got; (got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0;) {
        result.output.append(buffer.data(), got);
    }
    const int raw = pclose(pipe);
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return result;
}

}  // namespace kit_test
