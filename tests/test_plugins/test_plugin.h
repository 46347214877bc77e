/*
 * What the test plugins share: entry points that do nothing, the file a
 * plugin was loaded from and an id made of it, building and sending a
 * message, and appending a line to a record file. Plain C on the SDK header
 * and the C library only; a file that includes it defines _GNU_SOURCE
 * first, for dladdr.
 */
#ifndef TEST_PLUGIN_H
#define TEST_PLUGIN_H

#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "tessard_plugin.h"

/* ---- Entry points that do nothing --------------------------------------- */

#define TEST_PLUGIN_EMPTY_OPEN                                  \
    int32_t Open(const OpenParams* params, OpenResult* result) { \
        (void)params;                                           \
        (void)result;                                           \
        return 0;                                               \
    }
#define TEST_PLUGIN_EMPTY_CLOSE                                   \
    int32_t Close(const CloseParams* params, CoreStatus* status) { \
        (void)params;                                             \
        (void)status;                                             \
        return 0;                                                 \
    }
#define TEST_PLUGIN_EMPTY_UNLOAD                                    \
    int32_t Unload(const UnloadParams* params, CoreStatus* status) { \
        (void)params;                                               \
        (void)status;                                               \
        return 0;                                                   \
    }
/* Takes every broadcast and keeps nothing. */
#define TEST_PLUGIN_EMPTY_IOCTL                                     \
    int32_t IOCTL(const IoctlRequest* request, IoctlReply* reply) { \
        (void)request;                                              \
        reply->retain = 0;                                          \
        return 0;                                                   \
    }

/* ---- Identity ------------------------------------------------------------ */

/* The file name this plugin was loaded from, without directory. Every copy
 * of a plugin is a library of its own, so each finds its own name. */
static inline const char* testPluginFileName(void) {
    Dl_info self;
    const char* slash;
    if (dladdr((void*)&testPluginFileName, &self) == 0 || self.dli_fname == NULL) return "";
    slash = strrchr(self.dli_fname, '/');
    return slash != NULL ? slash + 1 : self.dli_fname;
}

/* FNV-1a of the file name, moved clear of the ids the core treats apart
 * (CORE_ID and 0x60000 both lie below bit 40), so that any number of copies
 * load side by side. */
static inline uint64_t testPluginIdOfFile(void) {
    const char* at;
    uint64_t hash = UINT64_C(14695981039346656037);
    for (at = testPluginFileName(); *at != '\0'; ++at) {
        hash ^= (unsigned char)*at;
        hash *= UINT64_C(1099511628211);
    }
    return hash | (UINT64_C(1) << 40);
}

/* ---- Messages ------------------------------------------------------------ */

/* A zero-filled message with its header and the fields every sender sets. */
static inline CoreMessage testMessage(uint64_t source, uint64_t flags, uint64_t type,
                                      const void* payload, uint32_t length) {
    CoreMessage message;
    memset(&message, 0, sizeof message);
    message.size = sizeof message;
    message.version = 1;
    message.source = source;
    message.flags = flags;
    message.type = type;
    message.payload = payload;
    message.length = length;
    return message;
}

/* Hands `message` to the core; returns the status code. */
static inline int32_t testSend(CoreCallback callback, const CoreMessage* message) {
    CoreStatus status;
    status.size = sizeof status;
    status.version = 1;
    status.code = 0;
    callback(message, &status);
    return status.code;
}

/* ---- Record files -------------------------------------------------------- */

/* Appends one line to `directory`/`file`: `head`, the payload's bytes, a
 * newline, written with one call so that lines of several threads or
 * processes never interleave. Nothing without a directory. */
static inline void testRecordLine(const char* directory, const char* file, const char* head,
                                  const void* payload, uint32_t length) {
    char path[4200];
    const size_t headLength = strlen(head);
    char* line;
    int descriptor;
    if (directory == NULL || directory[0] == '\0') return;
    snprintf(path, sizeof path, "%s/%s", directory, file);
    line = (char*)malloc(headLength + length + 1);
    if (line == NULL) return;
    memcpy(line, head, headLength);
    if (payload != NULL) memcpy(line + headLength, payload, length);
    line[headLength + length] = '\n';
    descriptor = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (descriptor >= 0) {
        if (write(descriptor, line, headLength + length + 1) < 0) perror(path);
        close(descriptor);
    }
    free(line);
}

#endif /* TEST_PLUGIN_H */
