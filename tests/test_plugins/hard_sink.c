/* A plugin that subscribes to the streams its kind takes (hard_bus.h: the
 * kind comes from its file name), keeps every payload it is handed and gives
 * each back from a thread of its own, soon after, in the order it got them.
 *
 * It checks what reaches it as it comes: every producer record must belong
 * to a stream its kind takes, come by the right entry point, carry an intact
 * payload and name, as its predecessor, the last record this sink got from
 * the same producer (the chain of hard_bus.h). A reader's answer must carry
 * its request's payload back. It counts records per producer, answers, and
 * everything else (the core's notices), and notes the first fault it saw.
 * The test reads all of it through the functions it exports, also while the
 * Core runs.
 *
 * Write and IOCTL come on the event handler thread, the releases go out on
 * the sink's own thread, Load, Open and Close on the main thread; `lock`
 * guards everything the three share. Load resets the state, since the test
 * keeps the library mapped from one Core to the next. */
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

#include "hard_bus.h"

struct Held {
    const void* payload;
    struct Held* next;
};

struct Sender {
    uint64_t last;    /* serial of the last record taken from it */
    uint64_t records; /* records taken from it */
};

static CoreCallback callback;
static uint64_t ownId;
static int kind;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
static struct Held* first; /* guarded by lock, with everything down to firstFault */
static struct Held* last;
static int stopping;
static uint64_t held;
static struct Sender senders[HARD_MAX_PRODUCERS];
static uint64_t answers;
static uint64_t others;
static uint64_t faults;
static char firstFault[256];
static pthread_t releaser;
static int releaserRunning; /* main thread only: Open and Close */

/* ---- What the test reads ---------------------------------------------- */

int hard_sink_kind(void) { return kind; }

static uint64_t readLocked(const uint64_t* value) {
    uint64_t copy;
    pthread_mutex_lock(&lock);
    copy = *value;
    pthread_mutex_unlock(&lock);
    return copy;
}

uint64_t hard_sink_last_serial(uint32_t producer) {
    return producer < HARD_MAX_PRODUCERS ? readLocked(&senders[producer].last) : 0;
}

uint64_t hard_sink_records(uint32_t producer) {
    return producer < HARD_MAX_PRODUCERS ? readLocked(&senders[producer].records) : 0;
}

uint64_t hard_sink_answers(void) { return readLocked(&answers); }
uint64_t hard_sink_others(void) { return readLocked(&others); }
uint64_t hard_sink_faults(void) { return readLocked(&faults); }
/* Payloads kept and not yet given back. */
uint64_t hard_sink_held(void) { return readLocked(&held); }

/* Copies the first fault, or an empty text, into `text`. */
void hard_sink_first_fault(char* text, size_t size) {
    pthread_mutex_lock(&lock);
    snprintf(text, size, "%s", firstFault);
    pthread_mutex_unlock(&lock);
}

/* ---- Checks, under lock ----------------------------------------------- */

static void fault(const char* what, uint64_t producer, uint64_t serial, uint64_t detail) {
    if (faults++ != 0) return;
    snprintf(firstFault, sizeof firstFault, "%s: producer %llu, serial %llu: %s %llu",
             testPluginFileName(), (unsigned long long)producer, (unsigned long long)serial, what,
             (unsigned long long)detail);
}

static int payloadIntact(const unsigned char* bytes, uint32_t length, uint64_t serial) {
    uint32_t index;
    for (index = sizeof(HardRecord); index < length; ++index) {
        if (bytes[index] != hardFill(serial, index)) return 0;
    }
    return 1;
}

/* Takes one producer record; `write` tells whether it came through Write
 * (with `source`) or through IOCTL. */
static void takeRecord(const unsigned char* bytes, uint32_t length, int write, uint64_t source) {
    HardRecord record;
    struct Sender* sender;
    memcpy(&record, bytes, sizeof record);
    if (record.producer >= HARD_MAX_PRODUCERS) {
        fault("names a producer out of range", record.producer, record.serial, 0);
        return;
    }
    sender = &senders[record.producer];
    if (!hardKindTakes(kind, (int)record.stream)) {
        fault("is of a stream this kind does not take:", record.producer, record.serial, record.stream);
    } else if ((record.stream == HARD_STREAM_BROADCAST) == write) {
        fault("came by the wrong entry point for stream", record.producer, record.serial, record.stream);
    } else if (write && source != HARD_PRODUCER_BASE + record.producer) {
        fault("came with the wrong source", record.producer, record.serial, source);
    } else if (!payloadIntact(bytes, length, record.serial)) {
        fault("has a damaged payload of length", record.producer, record.serial, length);
    } else if (record.previous[kind] != sender->last) {
        fault("names a predecessor other than the last record taken (a record lost, repeated, "
              "reordered or wrongly accepted); the last taken is serial",
              record.producer, record.serial, sender->last);
    }
    sender->last = record.serial;
    ++sender->records;
}

static void takeAnswer(const unsigned char* bytes, uint32_t length, uint64_t handle) {
    uint32_t index;
    ++answers;
    if (handle == 0) return; /* the scheduler's start-up Read has no request payload */
    if (length == 0) fault("an answer without payload, for handle", 0, 0, handle);
    for (index = 0; index < length; ++index) {
        if (bytes[index] != hardRequestByte(handle, index)) {
            fault("an answer with a damaged payload, for handle", 0, 0, handle);
            return;
        }
    }
}

static void take(const void* payload, uint32_t length, const WriteRequest* write) {
    const unsigned char* bytes = payload;
    const int record = bytes != NULL && length >= sizeof(HardRecord) &&
                       memcmp(bytes, HARD_RECORD_MARK, HARD_RECORD_MARK_SIZE) == 0;
    if (record) {
        takeRecord(bytes, length, write != NULL, write != NULL ? write->source : 0);
    } else if (write != NULL && hardIsAnswer(write->extra)) {
        takeAnswer(bytes, length, write->handle);
    } else {
        ++others;
    }
}

/* ---- Keeping and giving back ------------------------------------------ */

static void giveBack(const void* payload) {
    CoreMessage release;
    memset(&release, 0, sizeof release);
    release.size = sizeof release;
    release.version = 1;
    release.source = ownId;
    release.flags = MSG_RELEASE;
    release.payload = payload;
    testSend(callback, &release);
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

/* Checks and counts one delivery and keeps its payload, if any; returns
 * whether it was kept. */
static int deliver(const void* payload, uint32_t length, const WriteRequest* write) {
    struct Held* entry = payload != NULL ? malloc(sizeof *entry) : NULL;
    pthread_mutex_lock(&lock);
    take(payload, length, write);
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

/* ---- Entry points ----------------------------------------------------- */

static void reset(void) {
    pthread_mutex_lock(&lock);
    first = last = NULL;
    stopping = 0;
    held = answers = others = faults = 0;
    memset(senders, 0, sizeof senders);
    firstFault[0] = '\0';
    pthread_mutex_unlock(&lock);
}

int32_t Load(const LoadContext* context, PluginInfo* info) {
    int entry;
    callback = context->callback;
    ownId = testPluginIdOfFile();
    kind = hardKindOfFile();
    reset();
    info->id = ownId;
    for (entry = 0; entry < 9; ++entry) {
        const int takesAll = kind == HARD_KIND_ALL;
        const int takesThis = (entry == 0 && kind == HARD_KIND_SEQUENCED) ||
                              (entry == 1 && kind == HARD_KIND_PLAIN);
        info->eventMasks[entry] = takesAll || takesThis ? UINT64_MAX : 0;
    }
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

TEST_PLUGIN_EMPTY_UNLOAD

int32_t Write(const WriteRequest* request, WriteReply* reply) {
    reply->retain = (uint32_t)deliver(request->payload, request->length, request);
    return 0;
}

int32_t IOCTL(const IoctlRequest* request, IoctlReply* reply) {
    reply->retain =
        (uint32_t)deliver(request->payloadRef.payload, request->payloadRef.length, NULL);
    return 0;
}
