/* A plugin that takes every read request that selects anything, and answers
 * each Read from its worker with HARD_ANSWERS messages for the request's
 * handle, each carrying a payload, so that every answer after the first
 * waits until the one before it has been given back. The answers are marked
 * in `extra` (hard_bus.h) and selected by MSG_SELECT_3 alone. */
#include "hard_bus.h"

static CoreCallback callback;

int32_t Load(const LoadContext* context, PluginInfo* info) {
    int entry;
    callback = context->callback;
    info->id = HARD_READER_ID;
    for (entry = 0; entry < 9; ++entry) info->eventMasks[entry] = UINT64_MAX;
    info->readPolling = 1;
    return 0;
}

int32_t Read(const ReadRequest* request, ReadReply* reply) {
    static const char fallback[] = "answer";
    const void* payload = request->payload != NULL ? request->payload : fallback;
    const uint32_t length = request->payload != NULL ? request->length : sizeof fallback - 1;
    int sent;
    (void)reply;
    for (sent = 0; sent < HARD_ANSWERS; ++sent) {
        CoreMessage answer;
        memset(&answer, 0, sizeof answer);
        answer.size = sizeof answer;
        answer.version = 1;
        answer.length = length;
        answer.payload = payload;
        answer.source = HARD_READER_ID;
        answer.handle = request->handle;
        answer.flags = HARD_ANSWER_FLAGS;
        answer.type = HARD_ANSWER_TYPE;
        memcpy(answer.extra, HARD_ANSWER_MARK, HARD_ANSWER_MARK_SIZE);
        if (hardSend(callback, &answer) != STATUS_OK) break;
    }
    return 0;
}

int32_t IOCTL(const IoctlRequest* request, IoctlReply* reply) {
    (void)request;
    reply->retain = 0;
    return 0;
}

int32_t Open(const OpenParams* params, OpenResult* result) {
    (void)params;
    (void)result;
    return 0;
}

int32_t Close(const CloseParams* params, CoreStatus* status) {
    (void)params;
    (void)status;
    return 0;
}

int32_t Unload(const UnloadParams* params, CoreStatus* status) {
    (void)params;
    (void)status;
    return 0;
}
