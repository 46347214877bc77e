#include "plugins/status_document.h"

#include <tinyxml.h>
#include <wx/log.h>

#include <cstdio>

#include "bus/router.h"
#include "plugins/plugin_manager.h"
#include "plugins/version.h"
#include "bus/notice_document.h"

namespace {

const char kStatusFile[] = "plugins.xml";
// A library that could not be opened is listed with this open code.
constexpr int kNotLoadedCode = 79;

std::string coreVersion() {
    char text[100];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", version::kMajor, version::kMinor,
                  version::kRelease, version::kBuild);
    return text;
}

TiXmlElement* addChild(TiXmlElement* parent, const char* name) {
    return static_cast<TiXmlElement*>(parent->LinkEndChild(new TiXmlElement(name)));
}

}  // namespace

TiXmlElement* addModuleElement(TiXmlElement* parent, int id, const std::string& name,
                               const std::string& version) {
    TiXmlElement* module = addChild(parent, "Module");
    module->SetAttribute("ID", id);
    module->SetAttribute("Name", name);
    module->SetAttribute("Version", version);
    return module;
}

TiXmlElement* addPluginElement(TiXmlElement* parent, int id, const std::string& fileName,
                               int opened, int openCode) {
    TiXmlElement* plugin = addChild(parent, "Plugin");
    plugin->SetAttribute("ID", id);
    plugin->SetAttribute("Filename", fileName);
    plugin->SetAttribute("Opened", opened);
    plugin->SetAttribute("OpenCode", openCode);
    return plugin;
}

void buildStatusDocument(TiXmlDocument& document, const PluginManager& plugins,
                         const PluginTable::Records& records) {
    TiXmlElement* root = addNoticeRoot(document);
    root->SetAttribute("Delta", 0);
    TiXmlElement* modules = addChild(root, "Modules");
    const int coreId = asSigned32(CORE_ID);
    TiXmlElement* coreModule = addModuleElement(modules, coreId, "Core", coreVersion());
    addPluginElement(coreModule, coreId, plugins.executable().GetFullName().utf8_string(), 1, 0);
    for (const PluginRecord& plugin : records) {
        TiXmlElement* element = addPluginElement(coreModule, asSigned32(plugin.info.id),
                                                 plugin.fileName.utf8_string(), 1, plugin.openCode);
        element->SetAttribute("LoadTime", asSigned32(static_cast<std::uint64_t>(plugin.loadTime)));
        element->SetAttribute("OpenTime", asSigned32(static_cast<std::uint64_t>(plugin.openTime)));
    }
    const std::vector<wxString>& failed = plugins.failedPlugins();
    for (std::size_t index = 0; index < failed.size(); ++index) {
        const int number = static_cast<int>(index + 1);
        const std::string name = failed[index].utf8_string();
        addModuleElement(modules, number, name, "not loaded");
        addPluginElement(coreModule, number, name, 1, kNotLoadedCode);
    }
}

// Writes "plugins.xml" into the working directory and sends the same
// document to every plugin with MSG_TO_OTHERS.
void PluginManager::publishStatusDocument(const PluginTable::Records& records) {
    TiXmlDocument document;
    buildStatusDocument(document, *this, records);
    if (!saveDocument(document, kStatusFile)) wxLogWarning("Could not write %s", kStatusFile);
    bus.sendXml(document, MSG_TO_OTHERS);
}
