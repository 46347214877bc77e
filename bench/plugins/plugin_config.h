// What a benchmark plugin learns about its run: the run configuration named
// by the environment, and, for a consumer, its index from its file name.
#pragma once

#include <optional>

#include "common/run_config.h"

namespace bench {

// The configuration kConfigVariable names, or nothing.
std::optional<RunConfig> pluginRunConfig();

// The index in the file name of the library that holds `symbol`
// ("bench_consumer_7.so" gives 7), or -1.
int libraryIndex(const void* symbol);

}  // namespace bench
