#include "plugin_folder.h"

#include <filesystem>

PluginFolder::PluginFolder() { std::filesystem::create_directory(directory / "plugins"); }

void PluginFolder::install(const std::string& library, const std::string& fileName) {
    std::filesystem::copy_file(testPluginPath(library), pluginsDir() + "/" + fileName,
                               std::filesystem::copy_options::overwrite_existing);
}

void PluginFolder::writePlugin(const std::string& fileName, const std::string& content) {
    writeFile(pluginsDir() + "/" + fileName, content);
}

std::string testPluginPath(const std::string& library) {
    return std::string(TESSARD_TEST_PLUGIN_DIR) + "/" + library + ".so";
}
