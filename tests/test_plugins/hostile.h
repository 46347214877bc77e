/*
 * What the hostile test plugins share. They are one library (hostile.c)
 * that an end-to-end test copies into a server's plugins directory under
 * several names; each copy is a plugin of its own and takes its role from
 * its file name ("flooder.so" floods, "stuck_close.so" never returns from
 * Close, ...). Its id is derived from that name too, so copies never clash.
 *
 * A copy talks to its test through files in the directory that the
 * environment variable HOSTILE_DIR names, a variable of these plugins alone
 * (without it they report nothing and see no flag):
 *   <name>.report  lines the plugin appends, each with one write() to a
 *                  descriptor opened for appending, so that a test polling
 *                  the file never sees half a line;
 *   <name>.<flag>  files the test creates and removes to steer the plugin;
 *                  a flag's content may carry a number.
 * Plain C on the SDK header and the C library only.
 */
#ifndef HOSTILE_H
#define HOSTILE_H

#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "tessard_plugin.h"

/* The types the plugins exchange. Each has a kind bit of its own, so no
 * plugin's mask covers another type's key, nor the core's notices. */
#define HOSTILE_EVENT UINT64_C(0x04001000)   /* flooder to sink, entry 1 */
#define HOSTILE_REQUEST UINT64_C(0x08002000) /* read requests to the reader, entry 2 */
#define HOSTILE_ANSWER UINT64_C(0x04004000)  /* the reader's answers; nobody takes them */
#define HOSTILE_BLOCK UINT64_C(0x04008000)   /* stuck_write to itself, entry 1 */
#define HOSTILE_CRASH UINT64_C(0x04010000)   /* crasher to itself, entry 1 */

/* The handle of the read request that keeps the reader in Read for good. */
#define HOSTILE_STUCK_HANDLE UINT64_C(0x57C4)

static char hostileName[128];
static uint64_t hostileId;
static CoreCallback hostileCallback;

/* Takes the plugin's name from the file the dynamic loader mapped it from,
 * and its id from the name (FNV-1a, kept clear of the core's id). */
static inline void hostileIdentify(void) {
    Dl_info where;
    const char* base = "hostile";
    const char* slash;
    size_t length;
    uint32_t hash = UINT32_C(2166136261);
    if (dladdr((void*)&hostileIdentify, &where) != 0 && where.dli_fname != NULL) {
        base = where.dli_fname;
    }
    slash = strrchr(base, '/');
    if (slash != NULL) base = slash + 1;
    length = strlen(base);
    if (length > 3 && strcmp(base + length - 3, ".so") == 0) length -= 3;
    if (length >= sizeof hostileName) length = sizeof hostileName - 1;
    memcpy(hostileName, base, length);
    hostileName[length] = '\0';
    for (slash = hostileName; *slash != '\0'; ++slash) {
        hash = (hash ^ (uint8_t)*slash) * UINT32_C(16777619);
    }
    hostileId = (hash & UINT32_C(0x0FFFFFFF)) | UINT32_C(0x10000000);
}

static inline int hostilePath(char* path, size_t size, const char* suffix) {
    const char* directory = getenv("HOSTILE_DIR");
    if (directory == NULL || *directory == '\0') return 0;
    return snprintf(path, size, "%s/%s.%s", directory, hostileName, suffix) < (int)size;
}

/* Appends one line to the plugin's report. */
static inline void hostileReport(const char* format, ...) {
    char path[4096];
    char line[512];
    va_list arguments;
    int length;
    int file;
    if (!hostilePath(path, sizeof path, "report")) return;
    va_start(arguments, format);
    length = vsnprintf(line, sizeof line - 1, format, arguments);
    va_end(arguments);
    if (length < 0) return;
    if (length > (int)sizeof line - 2) length = (int)sizeof line - 2;
    line[length++] = '\n';
    file = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (file < 0) return;
    if (write(file, line, (size_t)length) != length) {
        /* A torn line fails the test that reads it; nothing to do here. */
    }
    close(file);
}

/* Whether the test has set `flag` for this plugin. */
static inline int hostileFlag(const char* flag) {
    char path[4096];
    return hostilePath(path, sizeof path, flag) && access(path, F_OK) == 0;
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

/* A zero-filled message from this plugin. */
static inline CoreMessage hostileMessage(uint64_t flags, uint64_t type, const void* payload,
                                         uint32_t length) {
    CoreMessage message;
    memset(&message, 0, sizeof message);
    message.size = sizeof message;
    message.version = 1;
    message.source = hostileId;
    message.flags = flags;
    message.type = type;
    message.payload = payload;
    message.length = length;
    return message;
}

/* A read request: a message from nobody (source 0). */
static inline CoreMessage hostileRequest(uint64_t handle, const void* payload, uint32_t length) {
    CoreMessage request = hostileMessage(MSG_SELECT_2, HOSTILE_REQUEST, payload, length);
    request.source = 0;
    request.handle = handle;
    return request;
}

/* Hands `message` to the core; returns the status code. */
static inline int32_t hostileSend(const CoreMessage* message) {
    CoreStatus status;
    status.size = sizeof status;
    status.version = 1;
    status.code = 0;
    hostileCallback(message, &status);
    return status.code;
}

/* Counters shared between a plugin's threads. */
static inline long long hostileCount(long long* counter) {
    return __atomic_add_fetch(counter, 1, __ATOMIC_RELAXED);
}
static inline long long hostileRead(const long long* counter) {
    return __atomic_load_n(counter, __ATOMIC_RELAXED);
}

#endif /* HOSTILE_H */
