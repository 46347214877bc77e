/* A plugin that asks for read calls and writes down the ones it receives,
 * and the core's broadcasts, which arrive through IOCTL.
 *
 * Every call becomes one line, appended to "reader.read" or "reader.ioctl"
 * in the directory the environment variable MON_RECORD_DIR names (a
 * variable of the test plugins; nothing is written without it). Built on
 * the SDK header and test_plugin.h. */
#define _GNU_SOURCE
#include "test_plugin.h"

static char recordDir[4096];

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
    testRecordLine(recordDir, "reader.read", head, request->payload, request->length);
    return 0;
}

int32_t IOCTL(const IoctlRequest* request, IoctlReply* reply) {
    char head[64];
    (void)reply;
    snprintf(head, sizeof head, "code=%u payload=", request->code);
    testRecordLine(recordDir, "reader.ioctl", head, request->payloadRef.payload, request->payloadRef.length);
    return 0;
}
