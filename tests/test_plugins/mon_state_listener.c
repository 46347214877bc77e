/* A plugin that listens for the core's XML notices and writes down what it
 * receives. Entry 2 of its masks is exactly the delivery key of XML
 * documents, so documents sent with MSG_SELECT_2 arrive through Write; the
 * core's broadcasts arrive through IOCTL.
 *
 * Every delivery becomes one line, appended to "listener.write" or
 * "listener.ioctl" in the directory the environment variable
 * MON_RECORD_DIR names (a variable of the test plugins; nothing is
 * written without it). Built on the SDK header and test_plugin.h. */
#define _GNU_SOURCE
#include "test_plugin.h"

static char recordDir[4096];

int32_t Load(const LoadContext* context, PluginInfo* info) {
    const char* dir = getenv("MON_RECORD_DIR");
    (void)context;
    if (dir != NULL) snprintf(recordDir, sizeof recordDir, "%s", dir);
    info->id = 0x4D0E0001;
    info->eventMasks[2] = 0x2000010;
    info->writeEvents = 1;
    return 0;
}

int32_t Write(const WriteRequest* request, WriteReply* reply) {
    char head[160];
    (void)reply;
    snprintf(head, sizeof head, "source=%llx flags=%llx type=%llx payload=",
             (unsigned long long)request->source, (unsigned long long)request->flags,
             (unsigned long long)request->type);
    testRecordLine(recordDir, "listener.write", head, request->payload, request->length);
    return 0;
}

int32_t IOCTL(const IoctlRequest* request, IoctlReply* reply) {
    char head[64];
    (void)reply;
    snprintf(head, sizeof head, "code=%u payload=", request->code);
    testRecordLine(recordDir, "listener.ioctl", head, request->payloadRef.payload, request->payloadRef.length);
    return 0;
}
