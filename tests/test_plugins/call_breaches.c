/* A plugin that breaks the contract of the calls that follow Load in the way
 * its file name says, so that one library, copied under several names, shows
 * the harness each breach it must catch:
 *  - "late_caller.so": a thread of its own sends once Unload has returned;
 *  - "keeper.so": retains the first payload Write hands it and never gives it
 *    back;
 *  - "lingerer.so": starts a thread in Open that Close never stops;
 *  - "stray_answerer.so": answers a read request from a thread of its own;
 *  - "overreader.so": reads a payload as a terminated string;
 *  - "late_reader.so": reads the payload of its last Write, which it did not
 *    retain, again in Close.
 * Under any other name it does none of these. Every copy takes events of
 * CALL_BREACHES_EVENT by Write (entry 1) and read requests of
 * CALL_BREACHES_REQUEST by Read (entry 2). */
#define _GNU_SOURCE
#include <pthread.h>
#include <stdatomic.h>
#include <unistd.h>

#include "test_plugin.h"

#define CALL_BREACHES_EVENT UINT64_C(0x2001)
#define CALL_BREACHES_REQUEST UINT64_C(0x2002)
#define CALL_BREACHES_ANSWER UINT64_C(0x2003)

static CoreCallback core;
static uint64_t ownId;
static atomic_int unloaded;
static const void* lastPayload;   /* event handler thread, then Close */
static int kept;                  /* event handler thread */
static volatile size_t lengthSeen; /* keeps the over-read from being optimised away */
static uint64_t strayHandle;      /* handed to the stray thread before it starts */

static int named(const char* name) { return strcmp(testPluginFileName(), name) == 0; }

static void* callAfterUnload(void* unused) {
    static const char text[] = "too late";
    (void)unused;
    while (!atomic_load(&unloaded)) usleep(1000);
    usleep(20000); /* well after Unload has returned */
    CoreMessage message = testMessage(ownId, MSG_SELECT_1, CALL_BREACHES_EVENT, text, sizeof text - 1);
    testSend(core, &message);
    return NULL;
}

static void* lingerForEver(void* unused) {
    (void)unused;
    for (;;) pause();
    return NULL;
}

static void* answerFromElsewhere(void* unused) {
    static const char text[] = "an answer from the wrong thread";
    (void)unused;
    CoreMessage answer = testMessage(ownId, MSG_SELECT_3, CALL_BREACHES_ANSWER, text, sizeof text - 1);
    answer.handle = strayHandle;
    testSend(core, &answer);
    return NULL;
}

static void startDetached(void* (*body)(void*)) {
    pthread_t thread;
    if (pthread_create(&thread, NULL, body, NULL) == 0) pthread_detach(thread);
}

int32_t Load(const LoadContext* context, PluginInfo* info) {
    core = context->callback;
    ownId = testPluginIdOfFile();
    info->id = ownId;
    info->writeEvents = 1;
    info->readPolling = 1;
    info->eventMasks[1] = tessardDeliveryKey(CALL_BREACHES_EVENT);
    info->eventMasks[2] = tessardReadKey(CALL_BREACHES_REQUEST);
    return 0;
}

int32_t Open(const OpenParams* params, OpenResult* result) {
    (void)params;
    (void)result;
    if (named("late_caller.so")) startDetached(callAfterUnload);
    if (named("lingerer.so")) startDetached(lingerForEver);
    return 0;
}

int32_t Write(const WriteRequest* request, WriteReply* reply) {
    if (request->type != CALL_BREACHES_EVENT || request->payload == NULL) return 0;
    if (named("overreader.so")) lengthSeen = strlen((const char*)request->payload);
    lastPayload = request->payload;
    reply->retain = named("keeper.so") && !kept ? 1 : 0;
    kept |= reply->retain;
    return 0;
}

int32_t Read(const ReadRequest* request, ReadReply* reply) {
    pthread_t thread;
    (void)reply;
    if (request->handle == 0 || !named("stray_answerer.so")) return 0;
    strayHandle = request->handle;
    if (pthread_create(&thread, NULL, answerFromElsewhere, NULL) == 0) pthread_join(thread, NULL);
    return 0;
}

int32_t Close(const CloseParams* params, CoreStatus* status) {
    (void)params;
    (void)status;
    if (named("late_reader.so") && lastPayload != NULL) {
        lengthSeen = ((const volatile unsigned char*)lastPayload)[0];
    }
    return 0;
}

int32_t Unload(const UnloadParams* params, CoreStatus* status) {
    (void)params;
    (void)status;
    atomic_store(&unloaded, 1);
    return 0;
}

TEST_PLUGIN_EMPTY_IOCTL
