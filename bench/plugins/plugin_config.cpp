#include "plugins/plugin_config.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "plugins/protocol.h"

namespace bench {

std::optional<RunConfig> pluginRunConfig() {
    const char* path = std::getenv(kConfigVariable);
    if (path == nullptr) return std::nullopt;
    return readRunConfig(path);
}

int libraryIndex(const void* symbol) {
    Dl_info self{};
    if (dladdr(symbol, &self) == 0 || self.dli_fname == nullptr) return -1;
    const char* slash = std::strrchr(self.dli_fname, '/');
    const std::string name = slash ? slash + 1 : self.dli_fname;
    const std::string prefix = kConsumerLibraryPrefix;
    if (name.compare(0, prefix.size(), prefix) != 0) return -1;
    char* end = nullptr;
    const long index = std::strtol(name.c_str() + prefix.size(), &end, 10);
    if (end == name.c_str() + prefix.size() || std::strcmp(end, ".so") != 0) return -1;
    return static_cast<int>(index);
}

}  // namespace bench
