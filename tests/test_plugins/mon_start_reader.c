/* A plugin that asks for read calls and writes down the ones it receives,
 * and the core's broadcasts, which arrive through IOCTL.
 *
 * Every call becomes one line, appended to "reader.read" or "reader.ioctl"
 * in the directory the environment variable MON_RECORD_DIR names (a
 * variable of the test plugins; nothing is written without it). Built on
 * the SDK header alone. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "tessard_plugin.h"

static char recordDir[4096];

/* One line: `head`, then the payload's bytes, then a newline; written with
 * one call so that lines never interleave. */
static void record(const char* file, const char* head, const void* payload, uint32_t length) {
    char path[4200];
    size_t headLength = strlen(head);
    char* line;
    int descriptor;
    if (recordDir[0] == '\0') return;
    snprintf(path, sizeof path, "%s/%s", recordDir, file);
    line = malloc(headLength + length + 1);
    if (line == NULL) return;
    memcpy(line, head, headLength);
    if (payload != NULL) memcpy(line + headLength, payload, length);
    line[headLength + length] = '\n';
    descriptor = open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (descriptor >= 0) {
        if (write(descriptor, line, headLength + length + 1) < 0) perror(path);
        close(descriptor);
    }
    free(line);
}

int32_t Load(const LoadContext* context, PluginInfo* info) {
    const char* dir = getenv("MON_RECORD_DIR");
    (void)context;
    if (dir != NULL) snprintf(recordDir, sizeof recordDir, "%s", dir);
    info->id = 0x4D0E0002;
    info->readPolling = 1;
    return 0;
}

int32_t Read(const ReadRequest* request, ReadReply* reply) {
    char head[160];
    (void)reply;
    snprintf(head, sizeof head, "onWorker=%u handle=%llu length=%u payload=%s",
             (unsigned)request->onWorker, (unsigned long long)request->handle, request->length,
             request->payload == NULL ? "null" : "set:");
    record("reader.read", head, request->payload, request->length);
    return 0;
}

int32_t IOCTL(const IoctlRequest* request, IoctlReply* reply) {
    char head[64];
    (void)reply;
    snprintf(head, sizeof head, "code=%u payload=", request->code);
    record("reader.ioctl", head, request->payloadRef.payload, request->payloadRef.length);
    return 0;
}
