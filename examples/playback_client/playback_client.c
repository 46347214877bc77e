/*
 * Playback client: an example plugin that asks the recorder for a few
 * seconds of a camera and writes what comes back as a playable clip and a
 * PNG thumbnail of its first frame.
 *
 * A read request is a message with source 0: it is not queued. The core
 * matches it against the plugins that ask for Read calls (readPolling) by
 * the read key of its type and starts, for each plugin it matches, a worker
 * thread that calls Read with the request's payload and handle. The handle
 * is the client's own choice; every answer carries it, so the client knows
 * which request an answer belongs to.
 *
 * The answers reach the client as ordinary events through Write: access
 * units of type EXAMPLE_TYPE_PLAYBACK_FRAME and a final
 * EXAMPLE_TYPE_PLAYBACK_END, both sent with MSG_SELECT_4; one mask, entry 4,
 * covers the delivery keys of both. Write only copies each unit into a
 * list, so that the event handler thread is never held up; once the end
 * has come, the client's own thread muxes the list into
 * "<directory>/camera-<n>-<UTC start>.mkv" and decodes its first frame into
 * the ".png" of the same name, and prints both paths.
 *
 * Settings (playback_client.conf beside the library, all optional):
 *   camera = 1           whose recording to ask for
 *   delay = 6            seconds after Open before the request
 *   seconds = 4          length of the clip, ending a second before the request
 *   directory = clips    where clips go; relative to the server's directory
 *
 * Threads: Load, Open, Close, Unload on the core's main thread; one thread
 * of its own that sends the request and writes the clip; Write and IOCTL on
 * the core's event handler thread. `stateLock` guards the current playback,
 * which both of the last two touch.
 */
#define _GNU_SOURCE /* POSIX and GNU names: threads, clocks, dladdr */

#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "example_gst.h"
#include "example_support.h"
#include "example_video.h"
#include "tessard_plugin.h"

#define PLAYBACK_CLIENT_ID UINT64_C(0x7E550040)
/* Handles are the client's own: this prefix and a request counter. */
#define HANDLE_PREFIX UINT64_C(0x504C000000000000)

typedef struct Unit {
    struct Unit* next;
    ExampleVideoInfo info;
    uint32_t length;
    uint8_t bytes[]; /* Annex-B */
} Unit;

typedef struct Playback {
    uint64_t handle; /* of the current request; 0 before it */
    Unit* first;
    Unit* last;
    uint64_t received;
    int ended;
    ExamplePlaybackEnd end;
} Playback;

static CoreCallback core;
static long camera = 1;
static long delay = 6;
static long seconds = 4;
static char directory[1024] = "clips";

static ExampleStopper stopper;
static pthread_t requester;
static int requesterStarted; /* main thread only */

static pthread_mutex_t stateLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t stateChanged = PTHREAD_COND_INITIALIZER;
static Playback playback; /* guarded by stateLock */

static void readSettings(void) {
    char path[4096];
    FILE* file = exampleOpenSettings((void (*)(void))readSettings, path, sizeof(path));
    if (file == NULL) return;
    char line[1200];
    char* name;
    char* value;
    while (exampleNextSetting(file, path, line, sizeof(line), &name, &value)) {
        if (strcmp(name, "camera") == 0) {
            exampleNumberSetting(path, name, value, 1, 256, &camera);
        } else if (strcmp(name, "delay") == 0) {
            exampleNumberSetting(path, name, value, 0, 86400, &delay);
        } else if (strcmp(name, "seconds") == 0) {
            exampleNumberSetting(path, name, value, 1, 3600, &seconds);
        } else if (strcmp(name, "directory") == 0 && *value != '\0' && strlen(value) < 900) {
            strcpy(directory, value);
        } else {
            examplePrint("%s: unknown or unusable setting %s", path, name);
        }
    }
    fclose(file);
}

/* ---- The request ---------------------------------------------------- */

static void requestPlayback(const ExamplePlaybackRequest* request) {
    pthread_mutex_lock(&stateLock);
    playback.handle = HANDLE_PREFIX + 1;
    const uint64_t handle = playback.handle;
    pthread_mutex_unlock(&stateLock);
    CoreMessage message;
    memset(&message, 0, sizeof(message));
    message.size = sizeof(message);
    message.version = 1;
    message.length = sizeof(*request);
    message.payload = request; /* the core's workers copy it before the call returns */
    message.source = 0;        /* a read request */
    message.handle = handle;
    message.flags = MSG_SELECT_3;
    message.type = EXAMPLE_TYPE_PLAYBACK_REQUEST;
    CoreStatus status = {sizeof(status), 1, STATUS_OK};
    core(&message, &status);
}

/* Waits for the end of the playback, or for Close; 1 when it ended. */
static int awaitEnd(void) {
    int ended = 0;
    while (!ended && !exampleStopped(&stopper)) {
        struct timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_sec += 1;
        pthread_mutex_lock(&stateLock);
        if (!playback.ended) pthread_cond_timedwait(&stateChanged, &stateLock, &until);
        ended = playback.ended;
        pthread_mutex_unlock(&stateLock);
    }
    return ended;
}

/* ---- The clip and the thumbnail ------------------------------------- */

static int writeClip(const char* path, const Unit* units, char* why, size_t whySize) {
    ExampleMkvWriter clip;
    int error = exampleMkvOpen(&clip, path, &units->info, units->bytes, units->length, why, whySize);
    for (const Unit* unit = units; error == 0 && unit != NULL; unit = unit->next) {
        error = exampleMkvPush(&clip, &unit->info, unit->bytes, unit->length);
    }
    const int finished = exampleMkvFinish(&clip, why, whySize);
    return error != 0 ? error : finished;
}

/* Decodes the key frame `unit` into a PNG file at `path`. */
static int writeThumbnail(const char* path, const Unit* unit, char* why, size_t whySize) {
    GstElement* pipeline = exampleBuildPipeline(
        "appsrc name=source format=time caps=video/x-h264,stream-format=byte-stream,alignment=au "
        "! h264parse ! avdec_h264 ! videoconvert ! pngenc snapshot=true ! filesink name=sink",
        why, whySize);
    if (pipeline == NULL) return ENOSYS;
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    g_object_set(sink, "location", path, NULL);
    gst_object_unref(sink);
    GstElement* source = gst_bin_get_by_name(GST_BIN(pipeline), "source");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstBuffer* buffer = gst_buffer_new_memdup(unit->bytes, unit->length);
    GST_BUFFER_PTS(buffer) = 0;
    gst_app_src_push_buffer(GST_APP_SRC(source), buffer);
    gst_app_src_end_of_stream(GST_APP_SRC(source));
    gst_object_unref(source);
    const int ended = exampleAwaitEnd(pipeline, 30 * GST_SECOND, why, whySize);
    exampleDropPipeline(&pipeline);
    return ended ? 0 : EIO;
}

/* Writes the clip and its thumbnail and says where they are. */
static void keepPlayback(const Unit* units, uint64_t count) {
    char start[32], base[PATH_MAX], path[PATH_MAX + 8], where[PATH_MAX], why[512] = "";
    exampleUtcName(units->info.utcUs, start, sizeof(start));
    snprintf(base, sizeof(base), "%s/camera-%ld-%s", directory, camera, start);
    const double length = (double)(playback.last->info.utcUs - units->info.utcUs) / 1e6;
    snprintf(path, sizeof(path), "%s.mkv", base);
    if (exampleMakeDirectories(directory) != 0 || writeClip(path, units, why, sizeof(why)) != 0) {
        examplePrint("playback client: camera %ld: cannot write the clip %s: %s", camera, path, why);
        return;
    }
    examplePrint("playback client: camera %ld: %llu frames back (%.1f s); clip %s", camera,
                 (unsigned long long)count, length, exampleAbsolute(path, where));
    snprintf(path, sizeof(path), "%s.png", base);
    if (writeThumbnail(path, units, why, sizeof(why)) != 0) {
        examplePrint("playback client: camera %ld: cannot write the thumbnail %s: %s", camera, path,
                     why);
        return;
    }
    examplePrint("playback client: camera %ld: thumbnail %s (%ux%u)", camera,
                 exampleAbsolute(path, where), units->info.width, units->info.height);
}

static void forgetUnits(void) {
    for (Unit* unit = playback.first; unit != NULL;) {
        Unit* next = unit->next;
        free(unit);
        unit = next;
    }
    playback.first = playback.last = NULL;
}

static void* runRequester(void* unused) {
    (void)unused;
    if (!exampleSleepFor(&stopper, delay)) return NULL;
    const int64_t now = (int64_t)exampleWallClockUs();
    const ExamplePlaybackRequest request = {EXAMPLE_PLAYBACK_MAGIC, (uint32_t)camera,
                                            now - (seconds + 1) * 1000000, now - 1000000};
    examplePrint("playback client: asking for %ld s of camera %ld", seconds, camera);
    requestPlayback(&request);
    if (!awaitEnd()) return NULL;
    /* Write adds nothing once the end has come: the list is this thread's. */
    if (playback.end.error != 0 || playback.first == NULL) {
        examplePrint("playback client: camera %ld: no playback (%s)", camera,
                     strerror(playback.end.error != 0 ? playback.end.error : ENOENT));
    } else {
        keepPlayback(playback.first, playback.received);
    }
    return NULL;
}

/* ---- Answers -------------------------------------------------------- */

static void keepUnit(const WriteRequest* request) {
    Unit* unit = malloc(sizeof(*unit) + request->length);
    if (unit == NULL || !exampleGetVideoInfo(request->extra, &unit->info)) {
        free(unit);
        return;
    }
    unit->next = NULL;
    unit->length = request->length;
    memcpy(unit->bytes, request->payload, request->length);
    if (playback.last != NULL) {
        playback.last->next = unit;
    } else {
        playback.first = unit;
    }
    playback.last = unit;
    ++playback.received;
}

int32_t Write(const WriteRequest* request, WriteReply* reply) {
    (void)reply; /* retain stays 0: each unit is copied during the call */
    pthread_mutex_lock(&stateLock);
    if (request->handle == playback.handle && request->handle != 0 && !playback.ended) {
        if (request->type == EXAMPLE_TYPE_PLAYBACK_FRAME && request->payload != NULL) {
            keepUnit(request);
        } else if (request->type == EXAMPLE_TYPE_PLAYBACK_END &&
                   request->length == sizeof(playback.end)) {
            memcpy(&playback.end, request->payload, sizeof(playback.end));
            playback.ended = 1;
            pthread_cond_broadcast(&stateChanged);
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
    info->eventMasks[4] = tessardDeliveryKey(EXAMPLE_TYPE_PLAYBACK_FRAME) |
                          tessardDeliveryKey(EXAMPLE_TYPE_PLAYBACK_END);
    return 0;
}

int32_t Open(const OpenParams* params, OpenResult* result) {
    (void)params;
    (void)result;
    readSettings();
    int error = exampleStartGstreamer("playback client");
    if (error != 0) return error;
    error = exampleStopperInit(&stopper);
    if (error != 0) return error;
    error = pthread_create(&requester, NULL, runRequester, NULL);
    if (error != 0) return error;
    requesterStarted = 1;
    examplePrint("playback client: will ask for %ld s of camera %ld in %ld s", seconds, camera,
                 delay);
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
    /* No Write comes any more: the event handler stopped before Close. */
    forgetUnits();
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
