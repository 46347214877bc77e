/*
 * What the three life-cycle plugins of the end-to-end test share: their
 * ids, the message types they exchange with the masks that select them, and
 * a log file per plugin in which each writes what it sees.
 *
 * The log goes to "<dir>/<plugin>.log", where <dir> is the environment
 * variable LIFE_LOG_DIR, a variable of these test plugins alone; without it
 * the plugins log nothing. Each line is the CLOCK_MONOTONIC time in
 * nanoseconds, a space and the text, so that lines of different plugins can
 * be put in one order. Plain C on the SDK header, test_plugin.h and the C
 * library only; a file that includes it defines _GNU_SOURCE first.
 */
#ifndef LIFE_PLUGIN_H
#define LIFE_PLUGIN_H

#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "test_plugin.h"

#define LIFE_PRODUCER_ID UINT64_C(0x4C1F0001)
#define LIFE_CONSUMER_ID UINT64_C(0x4C1F0002)
#define LIFE_READER_ID UINT64_C(0x4C1F0003)

/* The types carry a class bit (bit 25), so that the two ways the core folds
 * a type before matching it against a mask both matter. */
#define LIFE_EVENT UINT64_C(0x02004C01)   /* producer to consumer, selected by entry 1 */
#define LIFE_REQUEST UINT64_C(0x02004C02) /* read request, selected by entry 2 */
#define LIFE_ANSWER UINT64_C(0x02004C03)  /* reader to consumer, selected by entry 3 */
/* A queued event's type with its class bits moved up one place. */
#define LIFE_EVENT_KEY UINT64_C(0x04004C01)
#define LIFE_ANSWER_KEY UINT64_C(0x04004C03)
/* A read request's type with its class bits moved down one place. */
#define LIFE_REQUEST_KEY UINT64_C(0x01004C02)

#define LIFE_EVENTS 12
#define LIFE_HANDLE UINT64_C(0x5EED)
#define LIFE_ANSWERS 4

static FILE* lifeLog;
static pthread_mutex_t lifeLogLock = PTHREAD_MUTEX_INITIALIZER;

static inline unsigned long long lifeNow(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (unsigned long long)now.tv_sec * 1000000000ULL + (unsigned long long)now.tv_nsec;
}

static inline void lifeOpenLog(const char* name) {
    const char* directory = getenv("LIFE_LOG_DIR");
    char path[4096];
    if (directory == NULL || lifeLog != NULL) return;
    snprintf(path, sizeof path, "%s/%s.log", directory, name);
    lifeLog = fopen(path, "w");
}

/* Writes one line stamped with `when`. */
static inline void lifeSayAt(unsigned long long when, const char* format, ...) {
    va_list arguments;
    pthread_mutex_lock(&lifeLogLock);
    if (lifeLog != NULL) {
        fprintf(lifeLog, "%llu ", when);
        va_start(arguments, format);
        vfprintf(lifeLog, format, arguments);
        va_end(arguments);
        fputc('\n', lifeLog);
        fflush(lifeLog);
    }
    pthread_mutex_unlock(&lifeLogLock);
}

#define lifeSay(...) lifeSayAt(lifeNow(), __VA_ARGS__)

static inline void lifeCloseLog(void) {
    pthread_mutex_lock(&lifeLogLock);
    if (lifeLog != NULL) fclose(lifeLog);
    lifeLog = NULL;
    pthread_mutex_unlock(&lifeLogLock);
}

/* Whether the `length` bytes at `payload` contain `text`. */
static inline int lifeContains(const void* payload, uint32_t length, const char* text) {
    const size_t wanted = strlen(text);
    const char* bytes = (const char*)payload;
    size_t at;
    if (payload == NULL || length < wanted) return 0;
    for (at = 0; at + wanted <= length; ++at) {
        if (memcmp(bytes + at, text, wanted) == 0) return 1;
    }
    return 0;
}

/* The load line every plugin writes: what it was handed. */
static inline void lifeSayLoaded(const LoadContext* context, const PluginInfo* info) {
    lifeSay("load context=%u/%u info=%u/%u", context->size, context->version, info->size,
            info->version);
}

#endif /* LIFE_PLUGIN_H */
