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

// Replaces the file at `path` with the document, in TinyXML's indented form.
// The document is written to a new file beside it and renamed over it, so a
// reader never sees half a document, and whatever was in its place (a link,
// a FIFO, a device) is replaced, never written through: root must not
// overwrite the file a planted link names. False when the file could not be
// replaced; it is then left as it was.
bool saveDocument(const TiXmlDocument& document, const char* path);

// The low 32 bits of `value`, read as a signed number: how the documents
// print ids and times.
constexpr int asSigned32(std::uint64_t value) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}
