// Fuzz target: the loader. Each input describes a plugins directory of up
// to eight files: random bytes, test plugin libraries cut short at any
// length, and whole ones, under names the fuzzer chooses (any printable
// text, "%n" and "%s" included). A Core loads and opens the plugins with
// the real loader, then stops, which closes and unloads them; its threads
// are not started, which keeps an input to milliseconds.
//
// Whatever the files, the server must not crash or leak; every whole
// library must be loaded and every file that is not a shared object must be
// counted as failed, whatever lies beside it; and "plugins.xml" must name
// exactly the files that were loaded or failed, each under its own name.

#include <tinyxml.h>

#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "app/core.h"
#include "counting_allocator.h"
#include "fuzz_support.h"
#include "plugin_folder.h"
#include "plugins/plugin_manager.h"

namespace {

constexpr int kMostFiles = 8;

// Test plugins that need nothing from the executable that loads them.
const char* const kLibraries[] = {"hard_named", "load_only", "bus_lacking", "no_load"};

enum class Content { Bytes, Cut, Whole };

struct Expected {
    std::set<std::string> names;        // every file the loader tries
    std::set<std::string> mustLoad;     // whole copies of hard_named, each an id of its own
    std::set<std::string> mustFail;     // files that are no shared object at all
};

// Printable text without '/', so that the name stays inside the directory.
std::string nameFrom(fuzz::Bytes& bytes, int index) {
    std::string name = "f" + std::to_string(index) + "_";
    for (char byte : bytes.text(bytes.byte() % 12)) {
        const bool printable = byte > ' ' && byte < 0x7f && byte != '/';
        name += printable ? byte : '_';
    }
    return name + ".so";
}

const std::string& library(std::uint8_t choice) {
    static const std::vector<std::string> contents = [] {
        std::vector<std::string> loaded;
        for (const char* name : kLibraries) loaded.push_back(readFile(testPluginPath(name)));
        return loaded;
    }();
    return contents[choice % std::size(kLibraries)];
}

void addFile(fuzz::Bytes& bytes, int index, PluginFolder& folder, Expected& expected) {
    const std::string name = nameFrom(bytes, index);
    const auto content = static_cast<Content>(bytes.byte() % 3);
    const std::uint8_t choice = bytes.byte();
    if (content == Content::Bytes) {
        std::string noise = bytes.text(bytes.number(2) % 2048);
        // Four bytes short of a header: never a shared object.
        if (noise.compare(0, 4, "\x7f" "ELF") == 0) noise[0] = 'x';
        folder.writePlugin(name, noise);
        expected.mustFail.insert(name);
    } else {
        const std::string& whole = library(choice);
        const std::size_t length = content == Content::Cut ? bytes.number(3) % whole.size()
                                                           : whole.size();
        folder.writePlugin(name, whole.substr(0, length));
        if (content == Content::Whole && choice % std::size(kLibraries) == 0) {
            expected.mustLoad.insert(name);
        }
    }
    expected.names.insert(name);
}

// The file names "plugins.xml" lists, the executable's own left out.
std::multiset<std::string> listedNames(const std::string& path, const std::string& executable) {
    TiXmlDocument document;
    fuzz::check(document.LoadFile(path), "plugins.xml cannot be read back");
    std::multiset<std::string> names;
    const TiXmlElement* modules = document.RootElement()->FirstChildElement("Modules");
    const TiXmlElement* core = modules->FirstChildElement("Module");
    for (const TiXmlElement* plugin = core->FirstChildElement("Plugin"); plugin;
         plugin = plugin->NextSiblingElement("Plugin")) {
        const std::string name = plugin->Attribute("Filename");
        if (name != executable) names.insert(name);
    }
    return names;
}

void checkOutcome(const Core& core, const Expected& expected, const PluginFolder& folder) {
    std::multiset<std::string> tried;
    std::set<std::string> loaded;
    for (const PluginRecord& plugin : *core.plugins().snapshot()) {
        loaded.insert(plugin.fileName.utf8_string());
        tried.insert(plugin.fileName.utf8_string());
    }
    std::set<std::string> failed;
    for (const wxString& name : core.plugins().failedPlugins()) {
        failed.insert(name.utf8_string());
        tried.insert(name.utf8_string());
    }
    for (const std::string& name : tried) {
        fuzz::check(expected.names.count(name) == 1, "a file that was not written was tried: " + name);
    }
    for (const std::string& name : expected.mustLoad) {
        fuzz::check(loaded.count(name) == 1, "a whole library was not loaded: " + name);
    }
    for (const std::string& name : expected.mustFail) {
        fuzz::check(failed.count(name) == 1, "a file of random bytes was not counted: " + name);
    }
    fuzz::check(listedNames(folder / "plugins.xml", "tessard") == tried,
                "plugins.xml does not list what was loaded and what failed");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::setUpProcess();
    fuzz::Bytes bytes(data, size);
    PluginFolder folder;
    Expected expected;
    const int files = bytes.byte() % (kMostFiles + 1);
    for (int index = 0; index < files; ++index) addFile(bytes, index, folder, expected);

    WorkingDirectory cwd(folder.root());
    CountingAllocator allocator;
    {
        Core core(folder.exePath(), allocator);
        fuzz::check(core.plugins().loadPlugins(), "the plugins directory cannot be read");
        core.plugins().openPlugins();
        checkOutcome(core, expected, folder);
        core.stop();
    }
    fuzz::check(allocator.liveBlocks() == 0, "a payload copy was leaked");
    return 0;
}
