// The envelope of every XML document the core writes or sends: a declaration
// with no version, encoding or standalone attribute, then the root element
// "Zelt". Numbers are written as signed 32-bit decimals, so CORE_ID reads
// -2147483648.
#pragma once

#include <cstdint>

class TiXmlDocument;
class TiXmlElement;

// Appends the declaration and the root element to an empty document and
// returns the root.
TiXmlElement* addNoticeRoot(TiXmlDocument& document);

// Writes the document over the file at `path`, in TinyXML's indented form.
// A FIFO in the file's place would make opening it wait for a reader for
// ever, so it is opened without blocking; files and devices are written as
// usual. False when the file could not be written.
bool saveDocument(const TiXmlDocument& document, const char* path);

// The low 32 bits of `value`, read as a signed number: how the documents
// print ids and times.
constexpr int asSigned32(std::uint64_t value) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}
