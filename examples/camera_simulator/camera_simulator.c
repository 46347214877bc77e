/*
 * Camera simulator: an example plugin that stands in for real cameras.
 *
 * Every simulated camera runs on a thread of its own, started in Open, and
 * sends each frame to the core as a sequenced record: MSG_SELECT_0 with the
 * type EXAMPLE_TYPE_VIDEO_FRAME, whose bit 0x1000000 makes the core check it
 * against this plugin's sequence. The sequence belongs to the sender (this
 * plugin), so all cameras share it:
 *
 *  - a camera opens it with a key frame whose sequenceStart byte is 1;
 *  - when the core refuses a frame (STATUS_NO_SEQUENCE, STATUS_OVERRUN after
 *    766 frames, STATUS_THROTTLED while memory is low), the sequence is
 *    closed; the camera then drops its frames up to its next key frame and
 *    reopens the sequence with it, so that every gap in a recording is
 *    followed by a frame that can be decoded on its own.
 *
 * The core copies each payload before the callback returns, so every camera
 * fills the same buffer again for its next frame. Close stops the cameras
 * and joins their threads before it returns: no thread of this plugin runs
 * once the core goes on to unload it.
 *
 * Settings (camera_simulator.conf beside the library, all optional):
 *   cameras = 2            number of cameras, 1 to 16
 *   frames_per_second = 25 per camera, 1 to 1000
 *   frame_size = 16384     bytes of payload per frame, header included, 64 to 4194304
 *   key_interval = 25      every n-th frame is a key frame, 1 to 100000
 *
 * Threads: Load, Open, Close and Unload on the core's main thread; one
 * thread per camera; IOCTL on the core's event handler thread.
 */
#define _GNU_SOURCE /* POSIX and GNU names: threads, clocks, dladdr */

#include <errno.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "example_frame.h"
#include "example_support.h"
#include "tessard_plugin.h"

#define CAMERA_SIMULATOR_ID UINT64_C(0x7E550010)
#define MAX_CAMERAS 16

typedef struct Settings {
    long cameras;
    long framesPerSecond;
    long frameSize;
    long keyInterval;
} Settings;

typedef struct Camera {
    pthread_t thread;
    int started;        /* main thread only */
    uint32_t number;    /* 1, 2, ... */
    uint8_t* frame;     /* this camera's payload buffer, refilled for each frame */
    int waitingForKey;  /* the sequence is closed for this camera */
    /* Written by the camera's thread; read by Close after the join. */
    uint64_t sent;
    uint64_t accepted;
    uint64_t refused;
    uint64_t dropped; /* not sent: they came before the next key frame */
} Camera;

/* Set in Load and Open on the main thread, before any camera thread starts;
 * read-only afterwards. */
static CoreCallback core;
static Settings settings = {2, 25, 16384, 25};
static Camera cameras[MAX_CAMERAS];
static ExampleStopper stopper;
static int stopperReady;

static void readSettings(void) {
    char path[4096];
    FILE* file = exampleOpenSettings((void (*)(void))readSettings, path, sizeof(path));
    if (file == NULL) return;
    char line[512];
    char* name;
    char* value;
    while (exampleNextSetting(file, path, line, sizeof(line), &name, &value)) {
        if (strcmp(name, "cameras") == 0) {
            exampleNumberSetting(path, name, value, 1, MAX_CAMERAS, &settings.cameras);
        } else if (strcmp(name, "frames_per_second") == 0) {
            exampleNumberSetting(path, name, value, 1, 1000, &settings.framesPerSecond);
        } else if (strcmp(name, "frame_size") == 0) {
            exampleNumberSetting(path, name, value, 64, 4194304, &settings.frameSize);
        } else if (strcmp(name, "key_interval") == 0) {
            exampleNumberSetting(path, name, value, 1, 100000, &settings.keyInterval);
        } else {
            examplePrint("%s: unknown setting %s", path, name);
        }
    }
    fclose(file);
}

static const char* refusalName(int32_t code) {
    switch (code) {
        case STATUS_NO_SEQUENCE: return "no open sequence";
        case STATUS_OVERRUN: return "sequence overrun";
        case STATUS_THROTTLED: return "memory is low, the core throttles video";
        case STATUS_NO_MEMORY: return "the core is out of memory";
        case STATUS_CANCELLED: return "cancelled";
        default: return "unknown status";
    }
}

/* Hands one frame to the core; the frame buffer may be reused at once. */
static int32_t sendFrame(const Camera* camera, int opensSequence) {
    CoreMessage message;
    memset(&message, 0, sizeof(message));
    message.size = sizeof(message);
    message.version = 1;
    message.length = (uint32_t)settings.frameSize;
    message.payload = camera->frame;
    message.source = CAMERA_SIMULATOR_ID;
    message.flags = MSG_SELECT_0;
    message.type = EXAMPLE_TYPE_VIDEO_FRAME;
    message.extra[CORE_MESSAGE_SEQUENCE_START] = opensSequence ? 1 : 0;
    CoreStatus status = {sizeof(status), 1, STATUS_OK};
    core(&message, &status);
    return status.code;
}

/* Makes frame `number` and sends it, or drops it while the camera waits for
 * a key frame to reopen the sequence with. */
static void captureFrame(Camera* camera, uint64_t number) {
    const int keyFrame = (number - 1) % (uint64_t)settings.keyInterval == 0;
    if (camera->waitingForKey && !keyFrame) {
        ++camera->dropped;
        return;
    }
    exampleFillFrame(camera->frame, (size_t)settings.frameSize, camera->number, number, keyFrame,
                     exampleWallClockUs());
    ++camera->sent;
    const int32_t code = sendFrame(camera, camera->waitingForKey);
    if (code == STATUS_OK) {
        ++camera->accepted;
        camera->waitingForKey = 0;
        return;
    }
    ++camera->refused;
    if (!camera->waitingForKey) {
        examplePrint("camera simulator: camera %u: frame %llu refused (%s); resuming at the next "
                     "key frame",
                     camera->number, (unsigned long long)number, refusalName(code));
    }
    camera->waitingForKey = 1;
}

/* One camera: a frame every 1/framesPerSecond seconds until Close. */
static void* runCamera(void* argument) {
    Camera* camera = argument;
    const uint64_t period = 1000000000u / (uint64_t)settings.framesPerSecond;
    struct timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (uint64_t number = 1; exampleSleepUntil(&stopper, &next); ++number) {
        captureFrame(camera, number);
        exampleAdvance(&next, period);
    }
    return NULL;
}

int32_t Load(const LoadContext* context, PluginInfo* info) {
    /* The context dies when Load returns; the callback is kept. */
    core = context->callback;
    info->id = CAMERA_SIMULATOR_ID;
    /* Entry 5 is the close order key, larger first: the cameras stop before
     * the plugins that take their frames are closed. The plugin asks for no
     * Write and no Read, so the mask selects nothing for it. */
    info->eventMasks[5] = 1;
    return 0;
}

int32_t Open(const OpenParams* params, OpenResult* result) {
    (void)params;
    (void)result;
    readSettings();
    const int error = exampleStopperInit(&stopper);
    if (error != 0) return error;
    stopperReady = 1;
    examplePrint("camera simulator: %ld camera%s, %ld frames/s, %ld bytes a frame, a key frame "
                 "every %ld frames",
                 settings.cameras, settings.cameras == 1 ? "" : "s", settings.framesPerSecond,
                 settings.frameSize, settings.keyInterval);
    for (long i = 0; i < settings.cameras; ++i) {
        Camera* camera = &cameras[i];
        camera->number = (uint32_t)(i + 1);
        camera->waitingForKey = 1;
        camera->frame = malloc((size_t)settings.frameSize);
        if (camera->frame == NULL) return ENOMEM;
        const int failed = pthread_create(&camera->thread, NULL, runCamera, camera);
        if (failed != 0) return failed;
        camera->started = 1;
    }
    return 0;
}

/* Called even when Open failed half-way: stops what did start. */
int32_t Close(const CloseParams* params, CoreStatus* status) {
    (void)params;
    (void)status;
    if (!stopperReady) return 0;
    exampleStop(&stopper);
    for (long i = 0; i < settings.cameras; ++i) {
        Camera* camera = &cameras[i];
        if (camera->started) pthread_join(camera->thread, NULL);
        camera->started = 0;
        if (camera->number != 0) {
            examplePrint("camera simulator: camera %u: %llu frames sent, %llu accepted, %llu "
                         "refused, %llu dropped before a key frame",
                         camera->number, (unsigned long long)camera->sent,
                         (unsigned long long)camera->accepted,
                         (unsigned long long)camera->refused,
                         (unsigned long long)camera->dropped);
        }
        free(camera->frame);
        camera->frame = NULL;
    }
    return 0;
}

int32_t Unload(const UnloadParams* params, CoreStatus* status) {
    (void)params;
    (void)status;
    if (stopperReady) exampleStopperDestroy(&stopper);
    stopperReady = 0;
    return 0;
}

/* Every plugin receives the core's broadcasts (the plugin table, the memory
 * setting) through IOCTL; this one has no use for them and keeps nothing. */
int32_t IOCTL(const IoctlRequest* request, IoctlReply* reply) {
    (void)request;
    (void)reply;
    return 0;
}
