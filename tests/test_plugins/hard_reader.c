/* A plugin that takes every read request that selects anything, and answers
 * each Read from its worker with HARD_ANSWERS messages for the request's
 * handle, each carrying the request's payload back, so that every answer
 * after the first waits until the one before it has been given back. The
 * answers are marked in `extra` (hard_bus.h) and selected by MSG_SELECT_3
 * alone. Its id comes from its file name, so that copies load side by side.
 *
 * It counts what became of its answers: accepted, refused as cancelled
 * (those for a handle the test never cancels apart), and refused with any
 * other code, which no answer should ever get. Read runs on any number of
 * workers at once; `lock` guards the counters, which the test reads through
 * the functions the plugin exports, also while the Core runs. Load resets
 * them, since the test keeps the library mapped from one Core to the next. */
#define _GNU_SOURCE
#include <pthread.h>

#include "hard_bus.h"

static CoreCallback callback;
static uint64_t ownId;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static uint64_t reads; /* guarded by lock, like the four below */
static uint64_t accepted;
static uint64_t cancelled;
static uint64_t liveRefusals;
static uint64_t wrongCodes;

static uint64_t readLocked(const uint64_t* value) {
    uint64_t copy;
    pthread_mutex_lock(&lock);
    copy = *value;
    pthread_mutex_unlock(&lock);
    return copy;
}

uint64_t hard_reader_reads(void) { return readLocked(&reads); }
uint64_t hard_reader_accepted(void) { return readLocked(&accepted); }
uint64_t hard_reader_cancelled(void) { return readLocked(&cancelled); }
/* Answers refused for a handle that carries HARD_LIVE_HANDLE. */
uint64_t hard_reader_live_refusals(void) { return readLocked(&liveRefusals); }
/* Answers that got a code other than STATUS_OK, STATUS_CANCELLED or, once
 * the core stops, STATUS_STOPPING. */
uint64_t hard_reader_wrong_codes(void) { return readLocked(&wrongCodes); }

static void count(int32_t code, uint64_t handle) {
    pthread_mutex_lock(&lock);
    if (code == STATUS_OK) {
        ++accepted;
    } else if (code == STATUS_CANCELLED) {
        ++cancelled;
        if ((handle & HARD_LIVE_HANDLE) != 0) ++liveRefusals;
    } else if (code != STATUS_STOPPING) {
        ++wrongCodes;
    }
    pthread_mutex_unlock(&lock);
}

int32_t Load(const LoadContext* context, PluginInfo* info) {
    int entry;
    callback = context->callback;
    ownId = testPluginIdOfFile();
    pthread_mutex_lock(&lock);
    reads = accepted = cancelled = liveRefusals = wrongCodes = 0;
    pthread_mutex_unlock(&lock);
    info->id = ownId;
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
    pthread_mutex_lock(&lock);
    ++reads;
    pthread_mutex_unlock(&lock);
    for (sent = 0; sent < HARD_ANSWERS; ++sent) {
        CoreMessage answer;
        int32_t code;
        memset(&answer, 0, sizeof answer);
        answer.size = sizeof answer;
        answer.version = 1;
        answer.length = length;
        answer.payload = payload;
        answer.source = ownId;
        answer.handle = request->handle;
        answer.flags = HARD_ANSWER_FLAGS;
        answer.type = HARD_ANSWER_TYPE;
        memcpy(answer.extra, HARD_ANSWER_MARK, HARD_ANSWER_MARK_SIZE);
        code = testSend(callback, &answer);
        count(code, request->handle);
        if (code != STATUS_OK) break;
    }
    return 0;
}

/* Broadcasts come here; the reader keeps none of them. */
TEST_PLUGIN_EMPTY_IOCTL

TEST_PLUGIN_EMPTY_OPEN

TEST_PLUGIN_EMPTY_CLOSE

TEST_PLUGIN_EMPTY_UNLOAD
