/*
 * The producer of the end-to-end test. When the core's status document
 * reaches it (so every plugin has been opened and the event handler runs),
 * a thread of its own sends LIFE_EVENTS events "event 01", "event 02", ...
 * with their number in extra[0], then one read request for LIFE_ANSWERS
 * answers under LIFE_HANDLE. Close joins the thread.
 */
#define _GNU_SOURCE
#include "life_plugin.h"

static CoreCallback callback;
static pthread_t producer;
static int producerStarted;
static pthread_mutex_t startLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t startSignal = PTHREAD_COND_INITIALIZER;
static int documentSeen; /* guarded by startLock */

/* Waits up to ten seconds for the status document. */
static int waitForDocument(void) {
    struct timespec deadline;
    int seen;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 10;
    pthread_mutex_lock(&startLock);
    while (!documentSeen) {
        if (pthread_cond_timedwait(&startSignal, &startLock, &deadline) != 0) break;
    }
    seen = documentSeen;
    pthread_mutex_unlock(&startLock);
    return seen;
}

static void sendEvents(void) {
    int number;
    for (number = 1; number <= LIFE_EVENTS; ++number) {
        char text[16];
        CoreMessage event;
        const int length = snprintf(text, sizeof text, "event %02d", number);
        event = testMessage(LIFE_PRODUCER_ID, MSG_SELECT_1, LIFE_EVENT, text, (uint32_t)length);
        event.extra[0] = (uint8_t)number;
        lifeSay("sent event %02d status=%d", number, testSend(callback, &event));
    }
}

static void sendRequest(void) {
    static const char question[] = "answers=4";
    CoreMessage request =
        testMessage(0, MSG_SELECT_2, LIFE_REQUEST, question, (uint32_t)(sizeof question - 1));
    request.handle = LIFE_HANDLE;
    lifeSay("sent request status=%d", testSend(callback, &request));
}

static void* produce(void* unused) {
    (void)unused;
    if (!waitForDocument()) {
        lifeSay("no status document");
        return NULL;
    }
    sendEvents();
    sendRequest();
    return NULL;
}

int32_t Load(const LoadContext* context, PluginInfo* info) {
    lifeOpenLog("life_producer");
    lifeSayLoaded(context, info);
    callback = context->callback;
    info->id = LIFE_PRODUCER_ID;
    info->eventMasks[5] = 3; /* closed first */
    return 0;
}

int32_t Open(const OpenParams* params, OpenResult* result) {
    (void)params;
    (void)result;
    lifeSay("open");
    producerStarted = pthread_create(&producer, NULL, produce, NULL) == 0;
    return 0;
}

int32_t IOCTL(const IoctlRequest* request, IoctlReply* reply) {
    (void)reply;
    if (request->code != IOCTL_TO_OTHERS ||
        !lifeContains(request->payloadRef.payload, request->payloadRef.length, "<Modules>")) {
        return 0;
    }
    lifeSay("status document");
    pthread_mutex_lock(&startLock);
    documentSeen = 1;
    pthread_cond_broadcast(&startSignal);
    pthread_mutex_unlock(&startLock);
    return 0;
}

int32_t Close(const CloseParams* params, CoreStatus* status) {
    (void)params;
    (void)status;
    lifeSay("close");
    if (producerStarted) pthread_join(producer, NULL);
    producerStarted = 0;
    return 0;
}

int32_t Unload(const UnloadParams* params, CoreStatus* status) {
    (void)params;
    (void)status;
    lifeSay("unload");
    lifeCloseLog();
    return 0;
}
