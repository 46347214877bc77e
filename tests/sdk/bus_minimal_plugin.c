/*
 * A complete plugin written against the SDK header alone, in strict C99: it
 * defines all eight entry points and is built with -std=c99 -Wall -Wextra
 * -Werror -pedantic, so the header stays usable by a plugin author who has
 * nothing but a C compiler. If the header stops compiling that way, the
 * build of this file fails.
 *
 * What it does is small but exercises every call a plugin receives:
 *  - Write of a BUS_SDK_PING event: sends the payload back as BUS_SDK_ECHO.
 *  - Read for a read request: answers with the request payload as
 *    BUS_SDK_ANSWER, carrying the request's handle.
 *  - IOCTL of a broadcast: sends the delivered bytes back as BUS_SDK_HEARD,
 *    preceded by the IOCTL code.
 * Every answer goes out under MSG_SELECT_4, which the plugin does not
 * subscribe to itself, so it never answers its own answers.
 */
#include <string.h>

#include "tessard_plugin.h"

#define BUS_SDK_ID UINT64_C(0xB05D0)
#define BUS_SDK_PING UINT64_C(0x5D01)
#define BUS_SDK_ECHO UINT64_C(0x5D02)
#define BUS_SDK_ANSWER UINT64_C(0x5D03)
#define BUS_SDK_HEARD UINT64_C(0x5D04)

/* Kept from Load: the LoadContext itself dies when Load returns. */
static CoreCallback storedCallback;

/* A broadcast answer: the IOCTL code in the first byte, then the bytes. */
static unsigned char heard[4096];

static void sendToCore(uint64_t type, uint64_t handle, const void* payload, uint32_t length) {
    CoreMessage message;
    CoreStatus status;
    memset(&message, 0, sizeof message);
    message.size = sizeof message;
    message.version = 1;
    message.length = length;
    message.payload = payload;
    message.source = BUS_SDK_ID;
    message.handle = handle;
    message.flags = MSG_SELECT_4;
    message.type = type;
    status.size = sizeof status;
    status.version = 1;
    status.code = 0;
    storedCallback(&message, &status);
}

int32_t Load(const LoadContext* context, PluginInfo* info) {
    storedCallback = context->callback;
    info->id = BUS_SDK_ID;
    info->eventMasks[3] = BUS_SDK_PING;
    info->readPolling = 1;
    info->writeEvents = 1;
    return 0;
}

int32_t Unload(const UnloadParams* params, CoreStatus* status) {
    (void)params;
    status->code = 0;
    return 0;
}

int32_t Open(const OpenParams* params, OpenResult* result) {
    (void)params;
    memset(result->pluginArea, 0, sizeof result->pluginArea);
    return 0;
}

int32_t Close(const CloseParams* params, CoreStatus* status) {
    (void)params;
    status->code = 0;
    return 0;
}

int32_t Read(const ReadRequest* request, ReadReply* reply) {
    (void)reply;
    if (request->handle != 0) {
        sendToCore(BUS_SDK_ANSWER, request->handle, request->payload, request->length);
    }
    return 0;
}

int32_t Write(const WriteRequest* request, WriteReply* reply) {
    if (request->type == BUS_SDK_PING) {
        sendToCore(BUS_SDK_ECHO, 0, request->payload, request->length);
    }
    reply->retain = 0;
    return 0;
}

int32_t Seek(const void* request, void* reply) {
    (void)request;
    (void)reply;
    return 0;
}

int32_t IOCTL(const IoctlRequest* request, IoctlReply* reply) {
    uint32_t length = request->payloadRef.length;
    reply->retain = 0;
    if (request->code != IOCTL_TO_OTHERS && request->code != IOCTL_TO_ALL) return 0;
    if (length > sizeof heard - 1) length = sizeof heard - 1;
    heard[0] = (unsigned char)request->code;
    if (length != 0) memcpy(heard + 1, request->payloadRef.payload, length);
    sendToCore(BUS_SDK_HEARD, 0, heard, length + 1);
    return 0;
}
