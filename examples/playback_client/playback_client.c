/*
 * Playback client: an example plugin that asks the recorder to play a
 * camera's recording back and checks what comes back.
 *
 * A read request is a message with source 0: it is not queued. The core
 * matches it against the plugins that ask for Read calls (readPolling) by
 * the read key of its type and starts, for each plugin it matches, a worker
 * thread that calls Read with the request's payload and handle. The handle
 * is the client's own choice; every answer carries it, so the client knows
 * which request an answer belongs to. A cancel (source 0, flags exactly
 * MSG_CANCEL) would make the core refuse the rest of the answers.
 *
 * The answers reach the client as ordinary events through Write: frames of
 * type EXAMPLE_TYPE_PLAYBACK_FRAME and a final EXAMPLE_TYPE_PLAYBACK_END,
 * both sent with MSG_SELECT_4. One mask, entry 4, covers the delivery keys
 * of both types. The client checks each frame (whole, checksum right, the
 * requested camera, numbers rising) and prints one line per playback.
 *
 * Settings (playback_client.conf beside the library, all optional):
 *   camera = 1      whose recording to ask for
 *   delay = 3       seconds after Open before the first request
 *   interval = 0    seconds between further requests; 0 asks once
 *
 * Threads: Load, Open, Close, Unload on the core's main thread; one thread
 * of its own that sends the requests; Write and IOCTL on the core's event
 * handler thread. `stateLock` guards the state of the current playback,
 * which both of the last two touch.
 */
#define _GNU_SOURCE /* POSIX and GNU names: threads, clocks, dladdr */

#include <pthread.h>
#include <stdint.h>
#include <string.h>

#include "example_frame.h"
#include "example_support.h"
#include "tessard_plugin.h"

#define PLAYBACK_CLIENT_ID UINT64_C(0x7E550040)
/* Handles are the client's own: this prefix and a request counter. */
#define HANDLE_PREFIX UINT64_C(0x504C000000000000)

typedef struct Playback {
    uint64_t handle;   /* of the current request; 0 before the first */
    uint64_t received; /* frames */
    uint64_t damaged;  /* not whole, wrong checksum or another camera */
    uint64_t outOfOrder;
    uint64_t first;    /* frame numbers */
    uint64_t last;
} Playback;

static CoreCallback core;
static long camera = 1;
static long delay = 3;
static long interval = 0;

static ExampleStopper stopper;
static pthread_t requester;
static int requesterStarted; /* main thread only */

static pthread_mutex_t stateLock = PTHREAD_MUTEX_INITIALIZER;
static Playback playback; /* guarded by stateLock */

static void readSettings(void) {
    char path[4096];
    FILE* file = exampleOpenSettings((void (*)(void))readSettings, path, sizeof(path));
    if (file == NULL) return;
    char line[512];
    char* name;
    char* value;
    while (exampleNextSetting(file, path, line, sizeof(line), &name, &value)) {
        if (strcmp(name, "camera") == 0) {
            exampleNumberSetting(path, name, value, 1, 64, &camera);
        } else if (strcmp(name, "delay") == 0) {
            exampleNumberSetting(path, name, value, 0, 86400, &delay);
        } else if (strcmp(name, "interval") == 0) {
            exampleNumberSetting(path, name, value, 0, 86400, &interval);
        } else {
            examplePrint("%s: unknown setting %s", path, name);
        }
    }
    fclose(file);
}

/* Starts a new playback: answers to earlier handles are ignored from now on. */
static uint64_t beginPlayback(void) {
    pthread_mutex_lock(&stateLock);
    const uint64_t handle = playback.handle == 0 ? HANDLE_PREFIX + 1 : playback.handle + 1;
    memset(&playback, 0, sizeof(playback));
    playback.handle = handle;
    pthread_mutex_unlock(&stateLock);
    return handle;
}

static void requestPlayback(void) {
    const uint64_t handle = beginPlayback();
    ExamplePlaybackRequest request = {EXAMPLE_PLAYBACK_MAGIC, (uint32_t)camera};
    CoreMessage message;
    memset(&message, 0, sizeof(message));
    message.size = sizeof(message);
    message.version = 1;
    message.length = sizeof(request);
    message.payload = &request; /* the core's workers copy it before the call returns */
    message.source = 0;         /* a read request */
    message.handle = handle;
    message.flags = MSG_SELECT_3;
    message.type = EXAMPLE_TYPE_PLAYBACK_REQUEST;
    CoreStatus status = {sizeof(status), 1, STATUS_OK};
    core(&message, &status);
    examplePrint("playback client: asked for camera %ld (handle 0x%llX)", camera,
                 (unsigned long long)handle);
}

static void* runRequester(void* unused) {
    (void)unused;
    struct timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    exampleAdvance(&next, (uint64_t)delay * 1000000000u);
    while (exampleSleepUntil(&stopper, &next)) {
        requestPlayback();
        if (interval == 0) break;
        exampleAdvance(&next, (uint64_t)interval * 1000000000u);
    }
    return NULL;
}

/* ---- Answers -------------------------------------------------------- */

static void checkFrame(Playback* state, const void* payload, uint32_t length) {
    ExampleFrameHeader header;
    if (!exampleFrameIntact(payload, length, &header) || header.camera != (uint32_t)camera) {
        ++state->damaged;
        return;
    }
    if (state->received > 0 && header.number <= state->last) ++state->outOfOrder;
    if (state->received == 0) state->first = header.number;
    state->last = header.number;
    ++state->received;
}

static void reportEnd(const Playback* state, const void* payload, uint32_t length) {
    ExamplePlaybackEnd end;
    if (payload == NULL || length != sizeof(end)) return;
    memcpy(&end, payload, sizeof(end));
    if (end.error != 0) {
        examplePrint("playback client: camera %u: no playback (%s)", end.camera,
                     strerror(end.error));
        return;
    }
    const int clean = state->damaged == 0 && state->outOfOrder == 0;
    examplePrint("playback client: camera %u: %llu frames back (numbers %llu to %llu), %s; the "
                 "recorder sent %llu",
                 end.camera, (unsigned long long)state->received,
                 (unsigned long long)state->first, (unsigned long long)state->last,
                 clean ? "all intact and in order" : "NOT all intact and in order",
                 (unsigned long long)end.framesSent);
    if (!clean) {
        examplePrint("playback client: %llu damaged, %llu out of order",
                     (unsigned long long)state->damaged, (unsigned long long)state->outOfOrder);
    }
}

int32_t Write(const WriteRequest* request, WriteReply* reply) {
    (void)reply; /* retain stays 0: each frame is checked during the call */
    pthread_mutex_lock(&stateLock);
    if (request->handle == playback.handle && request->handle != 0) {
        if (request->type == EXAMPLE_TYPE_PLAYBACK_FRAME) {
            checkFrame(&playback, request->payload, request->length);
        } else if (request->type == EXAMPLE_TYPE_PLAYBACK_END) {
            reportEnd(&playback, request->payload, request->length);
        }
    }
    pthread_mutex_unlock(&stateLock);
    return 0;
}

/* ---- Life cycle ----------------------------------------------------- */

int32_t Load(const LoadContext* context, PluginInfo* info) {
    core = context->callback;
    info->id = PLAYBACK_CLIENT_ID;
    info->writeEvents = 1;
    /* 0x1000400 and 0x1000401 have the delivery keys 0x2000400 and
     * 0x2000401; the mask 0x2000401 holds every bit of both. */
    info->eventMasks[4] = EXAMPLE_DELIVERY_KEY(EXAMPLE_TYPE_PLAYBACK_FRAME) |
                          EXAMPLE_DELIVERY_KEY(EXAMPLE_TYPE_PLAYBACK_END);
    return 0;
}

int32_t Open(const OpenParams* params, OpenResult* result) {
    (void)params;
    (void)result;
    readSettings();
    int error = exampleStopperInit(&stopper);
    if (error != 0) return error;
    error = pthread_create(&requester, NULL, runRequester, NULL);
    if (error != 0) return error;
    requesterStarted = 1;
    examplePrint("playback client: will ask for camera %ld in %ld s", camera, delay);
    return 0;
}

int32_t Close(const CloseParams* params, CoreStatus* status) {
    (void)params;
    (void)status;
    if (!requesterStarted) return 0;
    exampleStop(&stopper);
    pthread_join(requester, NULL);
    requesterStarted = 0;
    exampleStopperDestroy(&stopper);
    return 0;
}

int32_t Unload(const UnloadParams* params, CoreStatus* status) {
    (void)params;
    (void)status;
    return 0;
}

/* The core's broadcasts arrive here; the client keeps none of them. */
int32_t IOCTL(const IoctlRequest* request, IoctlReply* reply) {
    (void)request;
    (void)reply;
    return 0;
}
