/*
 * A small scanner for the core's XML documents, which the console and the
 * metrics example read.
 *
 * The core's documents are one line of XML with the root element "Zelt";
 * the examples read a few attributes of a few elements by name, which a
 * full parser is not needed for. The scanner works on a terminated copy of
 * the payload (payloads are not terminated): find a start tag by name, then
 * read its attributes. Attribute values are quoted with " or ' and may
 * carry the five XML escapes; the scanner undoes them.
 *
 * Header only, plain C (static inline functions), so that each plugin
 * carries its own copy and needs nothing but libc and the SDK header.
 */
#ifndef EXAMPLE_XML_H
#define EXAMPLE_XML_H

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

/* The next start tag named `name` at or after `from`; NULL when none. */
static inline const char* exampleFindTag(const char* from, const char* name) {
    const size_t length = strlen(name);
    for (const char* tag = strchr(from, '<'); tag != NULL; tag = strchr(tag + 1, '<')) {
        if (strncmp(tag + 1, name, length) != 0) continue;
        /* Read only once the name matched: the byte after it is then at
         * most the terminator. */
        const char after = tag[1 + length];
        if (after == ' ' || after == '\t' || after == '\n' || after == '\r' || after == '/' ||
            after == '>') {
            return tag;
        }
    }
    return NULL;
}

/* Copies `text` into `out` with the XML escapes undone. */
static inline void exampleUnescape(const char* text, size_t length, char* out, size_t outSize) {
    static const struct { const char* entity; char character; } entities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    size_t used = 0;
    for (size_t i = 0; i < length && used + 1 < outSize;) {
        char character = text[i];
        size_t consumed = 1;
        for (size_t e = 0; e < sizeof(entities) / sizeof(entities[0]); ++e) {
            const size_t entityLength = strlen(entities[e].entity);
            if (i + entityLength <= length &&
                strncmp(text + i, entities[e].entity, entityLength) == 0) {
                character = entities[e].character;
                consumed = entityLength;
                break;
            }
        }
        out[used++] = character;
        i += consumed;
    }
    out[used] = '\0';
}

static inline int exampleXmlSpace(char character) {
    return character == ' ' || character == '\t' || character == '\n' || character == '\r';
}

/* The value of attribute `name` in the tag starting at `tag`; 0 when the tag
 * has no such attribute. */
static inline int exampleAttribute(const char* tag, const char* name, char* out, size_t outSize) {
    const char* end = strchr(tag, '>');
    const size_t length = strlen(name);
    for (const char* at = tag; end != NULL && (at = strstr(at, name)) != NULL && at < end; ++at) {
        /* A whole attribute name only: "Calls" must not match the end of
         * "WriteCalls". The tag starts with '<', so at[-1] exists. */
        if (!exampleXmlSpace(at[-1]) || at[length] != '=') continue;
        const char quote = at[length + 1];
        if (quote != '"' && quote != '\'') continue;
        const char* value = at + length + 2;
        const char* close = strchr(value, quote);
        if (close == NULL || close > end) return 0;
        exampleUnescape(value, (size_t)(close - value), out, outSize);
        return 1;
    }
    return 0;
}

/* A signed decimal attribute; `fallback` when it is absent. */
static inline long exampleLongAttribute(const char* tag, const char* name, long fallback) {
    char value[32];
    return exampleAttribute(tag, name, value, sizeof(value)) ? strtol(value, NULL, 10) : fallback;
}

/* An unsigned 64-bit decimal attribute into `result`; 0 when it is absent
 * or not a whole number in range, which leaves `result` as it was. */
static inline int exampleCounterAttribute(const char* tag, const char* name, uint64_t* result) {
    char value[32];
    if (!exampleAttribute(tag, name, value, sizeof(value))) return 0;
    char* end = NULL;
    errno = 0;
    const unsigned long long number = strtoull(value, &end, 10);
    if (errno != 0 || end == value || *end != '\0' || value[0] == '-') return 0;
    *result = (uint64_t)number;
    return 1;
}

#endif /* EXAMPLE_XML_H */
