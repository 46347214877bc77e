// The plugin status document "plugins.xml": the core with its version, every
// accepted plugin with its id, file name, open result and timings, and every
// library that could not be opened. Written beside the executable at every
// Core start, after the Open pass, and sent to every plugin.
#pragma once

#include <string>

#include "plugins/plugin_table.h"

class PluginManager;
class TiXmlDocument;
class TiXmlElement;

// Appends a "Module" element with "ID", "Name" and "Version", in that order.
TiXmlElement* addModuleElement(TiXmlElement* parent, int id, const std::string& name,
                               const std::string& version);
// Appends a "Plugin" element with "ID", "Filename", "Opened" and "OpenCode".
TiXmlElement* addPluginElement(TiXmlElement* parent, int id, const std::string& fileName,
                               int opened, int openCode);

// Builds the document for `records` (in table order), the server's
// executable and the libraries that could not be opened.
void buildStatusDocument(TiXmlDocument& document, const PluginManager& plugins,
                         const PluginTable::Records& records);
