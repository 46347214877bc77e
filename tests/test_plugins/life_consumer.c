/*
 * The retaining consumer of the end-to-end test. It takes the producer's
 * events (entry 1) and the reader's answers (entry 3) through Write, keeps
 * every payload (retain), and a thread of its own gives each back with
 * MSG_RELEASE: an event at once, an answer LIFE_ANSWER_HOLD_MS after it
 * arrived, so that the reader's next answer has to wait for it. The thread
 * reads the payload again just before it gives it back, which is only safe
 * while the hold keeps the buffer alive. Close lets the thread give back
 * what is left and joins it.
 */
#define _GNU_SOURCE
#include "life_plugin.h"

#define LIFE_ANSWER_HOLD_MS 100
#define LIFE_HELD_MAX 64

struct Held {
    const void* payload;
    uint32_t length;
    unsigned long long due; /* CLOCK_MONOTONIC nanoseconds */
};

static CoreCallback callback;
static pthread_t releaser;
static int releaserStarted;
static pthread_mutex_t heldLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t heldChanged = PTHREAD_COND_INITIALIZER;
/* A ring of the payloads held; guarded by heldLock, as is `stopping`. */
static struct Held held[LIFE_HELD_MAX];
static unsigned heldFirst, heldCount;
static int stopping;

static int keep(const void* payload, uint32_t length, unsigned long long due) {
    int kept = 0;
    pthread_mutex_lock(&heldLock);
    if (heldCount < LIFE_HELD_MAX) {
        struct Held* slot = &held[(heldFirst + heldCount) % LIFE_HELD_MAX];
        slot->payload = payload;
        slot->length = length;
        slot->due = due;
        ++heldCount;
        kept = 1;
        pthread_cond_broadcast(&heldChanged);
    }
    pthread_mutex_unlock(&heldLock);
    return kept;
}

/* The next payload to give back; 0 when stopping with nothing left. */
static int nextHeld(struct Held* next) {
    int found = 0;
    pthread_mutex_lock(&heldLock);
    while (heldCount == 0 && !stopping) pthread_cond_wait(&heldChanged, &heldLock);
    if (heldCount > 0) {
        *next = held[heldFirst];
        heldFirst = (heldFirst + 1) % LIFE_HELD_MAX;
        --heldCount;
        found = 1;
    }
    pthread_mutex_unlock(&heldLock);
    return found;
}

static void sleepUntil(unsigned long long due) {
    const unsigned long long now = lifeNow();
    struct timespec pause;
    if (due <= now) return;
    pause.tv_sec = (time_t)((due - now) / 1000000000ULL);
    pause.tv_nsec = (long)((due - now) % 1000000000ULL);
    nanosleep(&pause, NULL);
}

static void* giveBack(void* unused) {
    struct Held next;
    (void)unused;
    while (nextHeld(&next)) {
        CoreMessage message;
        unsigned long long when;
        int32_t code;
        sleepUntil(next.due);
        message = testMessage(LIFE_CONSUMER_ID, MSG_RELEASE, 0, next.payload, 0);
        when = lifeNow();
        /* The text is read before the release: afterwards the buffer is gone. */
        {
            char text[64];
            const int length = next.length < sizeof text ? (int)next.length : (int)sizeof text - 1;
            memcpy(text, next.payload, (size_t)length);
            text[length] = '\0';
            code = testSend(callback, &message);
            lifeSayAt(when, "release %s status=%d", text, code);
        }
    }
    return NULL;
}

int32_t Load(const LoadContext* context, PluginInfo* info) {
    lifeOpenLog("life_consumer");
    lifeSayLoaded(context, info);
    callback = context->callback;
    info->id = LIFE_CONSUMER_ID;
    info->eventMasks[1] = LIFE_EVENT_KEY;
    info->eventMasks[3] = LIFE_ANSWER_KEY;
    info->eventMasks[5] = 2; /* closed second */
    info->writeEvents = 1;
    return 0;
}

int32_t Open(const OpenParams* params, OpenResult* result) {
    (void)params;
    (void)result;
    lifeSay("open");
    releaserStarted = pthread_create(&releaser, NULL, giveBack, NULL) == 0;
    return 0;
}

int32_t Write(const WriteRequest* request, WriteReply* reply) {
    const int answer = request->type == LIFE_ANSWER;
    const unsigned long long now = lifeNow();
    lifeSayAt(now, "write %.*s source=%llx handle=%llx extra=%u", (int)request->length,
              (const char*)request->payload, (unsigned long long)request->source,
              (unsigned long long)request->handle, request->extra[0]);
    if (request->payload == NULL) return 0;
    reply->retain = (uint32_t)keep(request->payload, request->length,
                                   now + (answer ? LIFE_ANSWER_HOLD_MS * 1000000ULL : 0));
    return 0;
}

int32_t IOCTL(const IoctlRequest* request, IoctlReply* reply) {
    (void)reply;
    if (request->code == IOCTL_TO_OTHERS &&
        lifeContains(request->payloadRef.payload, request->payloadRef.length, "<Modules>")) {
        lifeSay("status document");
    }
    return 0;
}

int32_t Close(const CloseParams* params, CoreStatus* status) {
    (void)params;
    (void)status;
    lifeSay("close");
    pthread_mutex_lock(&heldLock);
    stopping = 1;
    pthread_cond_broadcast(&heldChanged);
    pthread_mutex_unlock(&heldLock);
    if (releaserStarted) pthread_join(releaser, NULL);
    releaserStarted = 0;
    return 0;
}

int32_t Unload(const UnloadParams* params, CoreStatus* status) {
    (void)params;
    (void)status;
    lifeSay("unload");
    lifeCloseLog();
    return 0;
}
