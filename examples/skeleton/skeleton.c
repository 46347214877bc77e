/*
 * Skeleton: the smallest whole plugin, to copy and grow. It greets the other
 * plugins once it is open and prints the core's text notices; it keeps
 * nothing past a call, so Close has nothing to stop. Write and IOCTL run on
 * the event handler thread, the rest on core threads one call at a time.
 */
#include <stdio.h>

#include "tessard_plugin.h"

#define SKELETON_ID UINT64_C(0x7E550070) /* choose an id of your own */

static CoreCallback core;     /* the context dies when Load returns: keep this */
static unsigned long notices; /* event handler thread only, until Close */

int32_t Load(const LoadContext* context, PluginInfo* info) {
    core = context->callback;
    info->id = SKELETON_ID;
    info->writeEvents = 1;                                   /* events arrive through Write */
    info->eventMasks[6] = tessardDeliveryKey(MSG_TYPE_TEXT); /* text notices: MSG_SELECT_6 */
    return 0;
}

int32_t Open(const OpenParams* params, OpenResult* result) {
    static const char hello[] = "skeleton is open";
    /* Named fields are set, every other byte is zero, as the core expects. */
    const CoreMessage message = {.size = sizeof(CoreMessage), .version = 1,
                                 .length = sizeof hello - 1, /* payloads are not terminated */
                                 .payload = hello, /* copied before the callback returns */
                                 .source = SKELETON_ID,
                                 .flags = MSG_TO_OTHERS}; /* IOCTL code 2 to every other plugin */
    CoreStatus status = {sizeof status, 1, STATUS_OK};
    (void)params, (void)result;
    core(&message, &status);
    return status.code; /* plugins.xml shows it as OpenCode */
}

int32_t Write(const WriteRequest* request, WriteReply* reply) {
    if (request->type == MSG_TYPE_TEXT && request->payload != NULL) {
        printf("skeleton: core: %.*s\n", (int)request->length, (const char*)request->payload);
        fflush(stdout);
        ++notices;
    }
    reply->retain = 0; /* the payload goes back to the core when Write returns */
    return 0;
}

int32_t IOCTL(const IoctlRequest* request, IoctlReply* reply) {
    return (void)request, (void)reply, 0; /* broadcasts: plugin table, memory setting */
}

int32_t Close(const CloseParams* params, CoreStatus* status) {
    printf("skeleton: closing after %lu notices\n", notices);
    return (void)params, (void)status, fflush(stdout), 0;
}

int32_t Unload(const UnloadParams* params, CoreStatus* status) {
    return (void)params, (void)status, 0;
}
