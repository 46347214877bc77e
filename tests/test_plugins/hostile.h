/*
 * What the hostile test plugins share. They are one library (hostile.c)
 * that an end-to-end test copies into a server's plugins directory under
 * several names; each copy is a plugin of its own and takes its role from
 * its file name ("flooder.so" floods, "stuck_close.so" never returns from
 * Close, ...). Its id is made of that name too (testPluginIdOfFile), so
 * copies never clash.
 *
 * A copy talks to its test through files in the directory that the
 * environment variable HOSTILE_DIR names, a variable of these plugins alone
 * (without it they report nothing and see no flag):
 *   <name>.report  lines the plugin appends, each with one write() to a
 *                  descriptor opened for appending, so that a test polling
 *                  the file never sees half a line;
 *   <name>.<flag>  files the test creates and removes to steer the plugin;
 *                  a flag's content may carry a number.
 * Plain C on the SDK header, the C library and the test plugins' shared
 * header.
 */
#ifndef HOSTILE_H
#define HOSTILE_H

#include <stdarg.h>
#include <time.h>

#include "test_plugin.h"

/* The types the plugins exchange. Each has a kind bit of its own, so no
 * plugin's mask covers another type's key, nor the core's notices. */
#define HOSTILE_EVENT UINT64_C(0x04001000)   /* flooder to sink, entry 1 */
#define HOSTILE_REQUEST UINT64_C(0x08002000) /* read requests to the reader, entry 2 */
#define HOSTILE_ANSWER UINT64_C(0x04004000)  /* the reader's answers; nobody takes them */
#define HOSTILE_BLOCK UINT64_C(0x04008000)   /* stuck_write to itself, entry 1 */
#define HOSTILE_CRASH UINT64_C(0x04010000)   /* crasher to itself, entry 1 */

/* The handle of the read request that keeps the reader in Read for good. */
#define HOSTILE_STUCK_HANDLE UINT64_C(0x57C4)

/* The copy's name (its file name without ".so"), set by hostileIdentify. */
static char hostileName[128];
static uint64_t hostileId;
static CoreCallback hostileCallback;

static inline void hostileIdentify(CoreCallback callback) {
    const char* file = testPluginFileName();
    size_t length = strlen(file);
    if (length > 3 && strcmp(file + length - 3, ".so") == 0) length -= 3;
    if (length >= sizeof hostileName) length = sizeof hostileName - 1;
    memcpy(hostileName, file, length);
    hostileName[length] = '\0';
    hostileId = testPluginIdOfFile();
    hostileCallback = callback;
}

/* "<name>.<suffix>" in HOSTILE_DIR; 0 without the variable. */
static inline int hostilePath(char* path, size_t size, const char* suffix) {
    const char* directory = getenv("HOSTILE_DIR");
    if (directory == NULL || *directory == '\0') return 0;
    return snprintf(path, size, "%s/%s.%s", directory, hostileName, suffix) < (int)size;
}

/* Appends one line to the plugin's report. */
static inline void hostileReport(const char* format, ...) {
    char file[160];
    char line[512];
    va_list arguments;
    snprintf(file, sizeof file, "%s.report", hostileName);
    va_start(arguments, format);
    vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    testRecordLine(getenv("HOSTILE_DIR"), file, line, NULL, 0);
}

/* The number a set flag carries (0 when it carries none); -1 when unset. */
static inline long hostileFlagNumber(const char* flag) {
    char path[4096];
    char text[32] = {0};
    int file;
    if (!hostilePath(path, sizeof path, flag)) return -1;
    file = open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0) return -1;
    if (read(file, text, sizeof text - 1) < 0) text[0] = '\0';
    close(file);
    return atol(text);
}

/* Whether the test has set `flag` for this plugin. */
static inline int hostileFlag(const char* flag) {
    return hostileFlagNumber(flag) >= 0;
}

static inline unsigned long long hostileMilliseconds(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (unsigned long long)now.tv_sec * 1000ULL + (unsigned long long)now.tv_nsec / 1000000ULL;
}

static inline void hostileSleep(long milliseconds) {
    struct timespec pause;
    pause.tv_sec = milliseconds / 1000;
    pause.tv_nsec = (milliseconds % 1000) * 1000000L;
    nanosleep(&pause, NULL);
}

/* A message from this plugin, and a read request (a message from nobody). */
static inline CoreMessage hostileMessage(uint64_t flags, uint64_t type, const void* payload,
                                         uint32_t length) {
    return testMessage(hostileId, flags, type, payload, length);
}
static inline CoreMessage hostileRequest(uint64_t handle, const void* payload, uint32_t length) {
    CoreMessage request = testMessage(0, MSG_SELECT_2, HOSTILE_REQUEST, payload, length);
    request.handle = handle;
    return request;
}

/* Hands `message` to the core; returns the status code. */
static inline int32_t hostileSend(const CoreMessage* message) {
    return testSend(hostileCallback, message);
}

/* Counters shared between a plugin's threads. */
static inline long long hostileCount(long long* counter) {
    return __atomic_add_fetch(counter, 1, __ATOMIC_RELAXED);
}
static inline long long hostileRead(const long long* counter) {
    return __atomic_load_n(counter, __ATOMIC_RELAXED);
}

#endif /* HOSTILE_H */
