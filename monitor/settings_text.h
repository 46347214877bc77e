// The text of the settings file "core.xml", read so that no file of any
// content or size can hang or crash the server.
//
// Anybody who may write to the server's directory can put anything there.
// A link is not followed (root would read whatever it names); a FIFO, a
// device or a directory is no settings document; a file larger than any
// settings document is not read into memory; and elements nested deeper than
// a settings document ever is are refused before the XML parser sees them,
// since it descends one stack frame per level and tens of thousands of
// levels overflow the thread's stack. Scheduler thread only.
#pragma once

#include <optional>
#include <string>

// The most bytes a settings file may hold, and the deepest nesting of its
// elements. The document the server writes is about 90 bytes, two deep.
constexpr std::size_t kMaxSettingsBytes = 64 * 1024;
constexpr int kMaxSettingsDepth = 32;

// The file's text, or nothing when it is absent, not a regular file, a link,
// larger than kMaxSettingsBytes, or nested deeper than kMaxSettingsDepth.
std::optional<std::string> readSettingsText(const char* path);

// Whether no element of `text` lies more than `limit` levels deep, counting
// start and end tags as an XML parser does; comments, declarations,
// processing instructions, character data sections and quoted attribute
// values are skipped over.
bool nestingWithin(const std::string& text, int limit);
