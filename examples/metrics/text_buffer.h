/*
 * A growing text buffer for the metrics example's responses: the
 * Prometheus text and the status page are written into one with printf
 * formats, then handed to libmicrohttpd, which frees the text once sent.
 *
 * A failed allocation marks the buffer failed instead of cutting the text
 * short: the response is then an error, never half a page. Used by one
 * thread at a time (the HTTP server's).
 */
#ifndef METRICS_TEXT_BUFFER_H
#define METRICS_TEXT_BUFFER_H

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef struct TextBuffer {
    char* text;      /* terminated; NULL until the first append */
    size_t length;   /* without the terminator */
    size_t capacity; /* bytes allocated */
    int failed;      /* an allocation failed; text is incomplete */
} TextBuffer;

static inline int textReserve(TextBuffer* buffer, size_t more) {
    if (buffer->failed) return 0;
    if (buffer->length + more + 1 <= buffer->capacity) return 1;
    size_t capacity = buffer->capacity != 0 ? buffer->capacity : 4096;
    while (capacity < buffer->length + more + 1) capacity *= 2;
    char* text = realloc(buffer->text, capacity);
    if (text == NULL) {
        buffer->failed = 1;
        return 0;
    }
    buffer->text = text;
    buffer->capacity = capacity;
    return 1;
}

static inline void textAppend(TextBuffer* buffer, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

static inline void textAppend(TextBuffer* buffer, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int needed = vsnprintf(NULL, 0, format, arguments);
    va_end(arguments);
    if (needed < 0 || !textReserve(buffer, (size_t)needed)) return;
    va_start(arguments, format);
    vsnprintf(buffer->text + buffer->length, (size_t)needed + 1, format, arguments);
    va_end(arguments);
    buffer->length += (size_t)needed;
}

/* `text` as it stands, for outside text that must not be read as a format. */
static inline void textAppendRaw(TextBuffer* buffer, const char* text) {
    const size_t length = strlen(text);
    if (!textReserve(buffer, length)) return;
    memcpy(buffer->text + buffer->length, text, length + 1);
    buffer->length += length;
}

/* Hands the text over (the caller frees it); NULL when an allocation
 * failed or nothing was written. The buffer is empty again afterwards. */
static inline char* textTake(TextBuffer* buffer, size_t* length) {
    char* text = buffer->failed ? NULL : buffer->text;
    if (text == NULL) free(buffer->text);
    *length = text != NULL ? buffer->length : 0;
    memset(buffer, 0, sizeof(*buffer));
    return text;
}

static inline void textDiscard(TextBuffer* buffer) {
    free(buffer->text);
    memset(buffer, 0, sizeof(*buffer));
}

#endif /* METRICS_TEXT_BUFFER_H */
