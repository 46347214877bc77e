/*
 * The reader of the end-to-end test. It takes read requests selected by
 * entry 2 and answers one that asks "answers=N" from its Read, on the
 * worker the core started for it: N payloads "answer 1", "answer 2", ...
 * under the request's handle. The core lets one answer of that worker be in
 * flight at a time, so each send returns only once the previous answer has
 * been given back by everyone who held it. The time each send returns is
 * logged.
 */
#define _GNU_SOURCE
#include "life_plugin.h"

static CoreCallback callback;
static pthread_t loader;

static int requestedAnswers(const ReadRequest* request) {
    char text[32];
    const size_t length = request->length < sizeof text - 1 ? request->length : sizeof text - 1;
    if (request->payload == NULL) return 0;
    memcpy(text, request->payload, length);
    text[length] = '\0';
    return strncmp(text, "answers=", 8) == 0 ? atoi(text + 8) : 0;
}

static void answer(const ReadRequest* request, int count) {
    int number;
    for (number = 1; number <= count; ++number) {
        char text[16];
        const int length = snprintf(text, sizeof text, "answer %d", number);
        CoreMessage message =
            testMessage(LIFE_READER_ID, MSG_SELECT_3, LIFE_ANSWER, text, (uint32_t)length);
        message.handle = request->handle;
        lifeSay("answered %d status=%d", number, testSend(callback, &message));
    }
}

int32_t Load(const LoadContext* context, PluginInfo* info) {
    lifeOpenLog("life_reader");
    lifeSayLoaded(context, info);
    callback = context->callback;
    loader = pthread_self();
    info->id = LIFE_READER_ID;
    info->eventMasks[2] = LIFE_REQUEST_KEY;
    info->eventMasks[5] = 1; /* closed last */
    info->readPolling = 1;
    return 0;
}

int32_t Open(const OpenParams* params, OpenResult* result) {
    (void)params;
    (void)result;
    lifeSay("open");
    return 0;
}

int32_t Read(const ReadRequest* request, ReadReply* reply) {
    const int onWorker = request->onWorker == 1 && !pthread_equal(pthread_self(), loader);
    (void)reply;
    lifeSay("read handle=%llx length=%u payload=%.*s worker=%s",
            (unsigned long long)request->handle, request->length, (int)request->length,
            request->payload ? (const char*)request->payload : "", onWorker ? "yes" : "no");
    if (request->handle == 0) return 0;
    answer(request, requestedAnswers(request));
    lifeSay("read done");
    return 0;
}

int32_t IOCTL(const IoctlRequest* request, IoctlReply* reply) {
    (void)request;
    (void)reply;
    return 0;
}

int32_t Close(const CloseParams* params, CoreStatus* status) {
    (void)params;
    (void)status;
    lifeSay("close");
    return 0;
}

int32_t Unload(const UnloadParams* params, CoreStatus* status) {
    (void)params;
    (void)status;
    lifeSay("unload");
    lifeCloseLog();
    return 0;
}
