/* A plugin that subscribes to everything, keeps every payload it is handed
 * and gives each back from a thread of its own, soon after, in the order it
 * got them. It counts what reaches it: the tests' own messages apart from
 * the answers of hard_reader.c and from the scheduler's clock notices, which
 * no test can time. The counts are read through the functions it exports. */
#include <pthread.h>
#include <stdlib.h>

#include "hard_bus.h"

/* The scheduler's "system time changed by ..." notice is longer than this;
 * the tests' own messages are not. */
#define HARD_LONGEST_TEST_PAYLOAD 16

struct Held {
    const void* payload;
    struct Held* next;
};

static CoreCallback callback;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
static struct Held* first; /* guarded by lock, with last */
static struct Held* last;
static int stopping;       /* guarded by lock */
static pthread_t releaser;
static int releaserRunning; /* main thread only: Open and Close */
static uint64_t deliveries; /* guarded by lock, like the two below */
static uint64_t answers;
static uint64_t held;

uint64_t hard_sink_deliveries(void) {
    uint64_t value;
    pthread_mutex_lock(&lock);
    value = deliveries;
    pthread_mutex_unlock(&lock);
    return value;
}

uint64_t hard_sink_answers(void) {
    uint64_t value;
    pthread_mutex_lock(&lock);
    value = answers;
    pthread_mutex_unlock(&lock);
    return value;
}

/* Payloads kept and not yet given back. */
uint64_t hard_sink_held(void) {
    uint64_t value;
    pthread_mutex_lock(&lock);
    value = held;
    pthread_mutex_unlock(&lock);
    return value;
}

static void giveBack(const void* payload) {
    CoreMessage release;
    memset(&release, 0, sizeof release);
    release.size = sizeof release;
    release.version = 1;
    release.source = HARD_SINK_ID;
    release.flags = MSG_RELEASE;
    release.payload = payload;
    hardSend(callback, &release);
}

static void* releaseLoop(void* unused) {
    (void)unused;
    pthread_mutex_lock(&lock);
    for (;;) {
        struct Held* next;
        while (first == NULL && !stopping) pthread_cond_wait(&changed, &lock);
        if (first == NULL) break;
        next = first;
        first = next->next;
        if (first == NULL) last = NULL;
        pthread_mutex_unlock(&lock);
        giveBack(next->payload);
        free(next);
        pthread_mutex_lock(&lock);
        --held;
    }
    pthread_mutex_unlock(&lock);
    return NULL;
}

/* Counts one delivery and, when it has a payload, keeps it; returns whether
 * it was kept. */
static int take(const void* payload, int answer, int counted) {
    struct Held* entry = payload != NULL ? malloc(sizeof *entry) : NULL;
    pthread_mutex_lock(&lock);
    if (answer) {
        ++answers;
    } else if (counted) {
        ++deliveries;
    }
    if (entry != NULL) {
        entry->payload = payload;
        entry->next = NULL;
        if (last != NULL) {
            last->next = entry;
        } else {
            first = entry;
        }
        last = entry;
        ++held;
        pthread_cond_signal(&changed);
    }
    pthread_mutex_unlock(&lock);
    return entry != NULL;
}

int32_t Load(const LoadContext* context, PluginInfo* info) {
    int entry;
    callback = context->callback;
    info->id = HARD_SINK_ID;
    for (entry = 0; entry < 9; ++entry) info->eventMasks[entry] = UINT64_MAX;
    info->writeEvents = 1;
    return 0;
}

int32_t Open(const OpenParams* params, OpenResult* result) {
    (void)params;
    (void)result;
    releaserRunning = pthread_create(&releaser, NULL, releaseLoop, NULL) == 0;
    return releaserRunning ? 0 : 1;
}

/* Gives back what it still holds, then ends its thread. */
int32_t Close(const CloseParams* params, CoreStatus* status) {
    (void)params;
    (void)status;
    pthread_mutex_lock(&lock);
    stopping = 1;
    pthread_cond_signal(&changed);
    pthread_mutex_unlock(&lock);
    if (releaserRunning) pthread_join(releaser, NULL);
    releaserRunning = 0;
    return 0;
}

int32_t Unload(const UnloadParams* params, CoreStatus* status) {
    (void)params;
    (void)status;
    return 0;
}

int32_t Write(const WriteRequest* request, WriteReply* reply) {
    const int clock = request->source == CORE_ID && request->type == MSG_TYPE_TEXT &&
                      request->length > HARD_LONGEST_TEST_PAYLOAD;
    reply->retain = (uint32_t)take(request->payload, hardIsAnswer(request->extra), !clock);
    return 0;
}

int32_t IOCTL(const IoctlRequest* request, IoctlReply* reply) {
    reply->retain = (uint32_t)take(request->payloadRef.payload, 0, 1);
    return 0;
}
