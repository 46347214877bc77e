// What one run of one contender is told: the workload, the fault to make
// and the directory the run reports into.
//
// The harness writes it as a file; the server's plugins (through the
// environment variable kConfigVariable) and the peers' processes read it,
// so that every contender runs the very same definition.
#pragma once

#include <optional>
#include <string>

#include "common/fault.h"
#include "common/workload.h"

namespace bench {

constexpr const char* kConfigVariable = "TESSARD_BENCH_CONFIG";

struct RunConfig {
    Workload workload;
    Fault fault = Fault::None;
    std::string resultsDir;  // reports and markers
    std::string startFile;   // the producers begin once it exists
};

bool writeRunConfig(const std::string& path, const RunConfig& config);
std::optional<RunConfig> readRunConfig(const std::string& path);

}  // namespace bench
