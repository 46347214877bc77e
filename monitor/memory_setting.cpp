// The core's one setting of its own, in "core.xml" in the working directory:
// whether memory throttling is enabled. Read once per start by the scheduler
// thread, rewritten at once in normal form, and sent to every plugin. A
// missing or unusable file (see settings_text.h) means throttling is
// enabled, and the rewrite replaces it.

#include <tinyxml.h>

#include "monitor/monitor.h"
#include "bus/notice_document.h"
#include "monitor/settings_text.h"
#include "tessard_plugin.h"

namespace {

const char kSettingsFile[] = "core.xml";

// The "Throttling" attribute of the root's first "Memory" child, parsed as
// "%d" (characters after the number are ignored). False when any of the three
// is missing or the value does not start with a number.
bool readThrottling(int& value) {
    const std::optional<std::string> text = readSettingsText(kSettingsFile);
    if (!text) return false;
    TiXmlDocument document;
    document.Parse(text->c_str());
    if (document.Error()) return false;
    const TiXmlElement* root = document.RootElement();
    if (root == nullptr) return false;
    const TiXmlElement* memory = root->FirstChildElement("Memory");
    return memory != nullptr && memory->QueryIntAttribute("Throttling", &value) == TIXML_SUCCESS;
}

}  // namespace

bool Monitor::loadMemorySetting() {
    int value = 1;
    const bool enabled = !readThrottling(value) || value != 0;
    saveMemorySetting(enabled);
    return enabled;
}

void Monitor::saveMemorySetting(bool enabled) {
    TiXmlDocument document;
    TiXmlElement* root = addNoticeRoot(document);
    root->SetAttribute("Delta", 0);
    auto* memory = static_cast<TiXmlElement*>(root->LinkEndChild(new TiXmlElement("Memory")));
    memory->SetAttribute("ID", asSigned32(CORE_ID));
    memory->SetAttribute("Throttling", enabled ? 1 : 0);
    // A file that cannot be written changes nothing: the setting applies and
    // the plugins are told all the same.
    saveDocument(document, kSettingsFile);
    sink.sendXml(document, MSG_TO_OTHERS);
}
