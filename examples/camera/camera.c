/*
 * Camera: an example plugin that brings H.264 video from cameras into the
 * core, one access unit per message.
 *
 * Each camera is one GStreamer pipeline ending in an appsink: a built-in
 * live test source (a moving pattern with the camera's number and the time
 * burned in, encoded with x264), an RTSP camera (rtsp://...), or H.264 in
 * a Matroska file played at its own frame rate (for measurements). Each
 * hands over whole access units in Annex-B form with the SPS and PPS in
 * front of every key frame, so that any group of pictures decodes on its
 * own: h264parse makes them so for the test source and RTSP, the camera
 * itself for a file, whose demuxer gives whole units already.
 *
 * Sequences. Every access unit is a sequenced record (MSG_SELECT_0, type
 * EXAMPLE_TYPE_VIDEO_FRAME), and each camera is a sequence of its own: the
 * core keeps one sequence per `source`, and camera n sends with the source
 * (n << 32) | CAMERA_ID, the plugin's id with the camera's number in the
 * upper half. That is how one plugin runs many cameras without their
 * records counting against one another. Every key frame opens the sequence
 * anew (sequenceStart 1), so it never overruns while groups of pictures are
 * shorter than 766 frames. When the core refuses a frame (no open sequence,
 * overrun, throttling, no memory, stopping), the sequence is closed: the
 * camera drops its frames up to the next key frame, which reopens it, so
 * that what is recorded always decodes.
 *
 * A camera whose pipeline fails (an RTSP camera that goes away) is started
 * again after 1, 2, 4 ... up to 30 seconds, and every failure is logged. A
 * file camera ends at the end of its file.
 *
 * Settings (camera.conf beside the library, all optional):
 *   cameras = 2              number of cameras, 1 to 256
 *   source.<n> = test        camera n: "test", an rtsp:// URL, or a Matroska file
 *   width = 640, height = 360, frames_per_second = 25, bitrate = 400 (kbit/s),
 *   key_interval = 25        the test sources' picture, rate and group size
 *   pattern = ball           the test sources' picture: a videotestsrc pattern
 *                            ("snow" is noise, which needs the whole bitrate)
 *
 * Threads: Load, Open, Close and Unload on the core's main thread; one
 * supervising thread per camera, which builds, watches and rebuilds its
 * pipeline; the appsink callback on the pipeline's streaming thread, which
 * sends the frames. A camera's counters are atomic because a rebuilt
 * pipeline may stream on another thread; everything else of a camera is
 * written in Open before its thread starts.
 */
#define _GNU_SOURCE /* POSIX and GNU names: threads, clocks, dladdr */

#include <errno.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "example_gst.h"
#include "example_support.h"
#include "example_video.h"
#include "tessard_plugin.h"

#define CAMERA_ID UINT64_C(0x7E550010)
#define MAX_CAMERAS 256
#define MAX_BACKOFF_SECONDS 30

typedef enum SourceKind { SOURCE_TEST, SOURCE_RTSP, SOURCE_FILE } SourceKind;

typedef struct Settings {
    long cameras;
    long width;
    long height;
    long framesPerSecond;
    long bitrate;
    long keyInterval;
} Settings;

typedef struct Camera {
    /* Written in Open, before the camera's thread starts. */
    uint32_t number;
    uint64_t source; /* the camera's sequence */
    SourceKind kind;
    char location[1024];
    pthread_t thread;
    int started; /* main thread only */
    /* The streaming thread's state; reset by the supervisor between pipelines. */
    atomic_int waitingForKey;
    atomic_llong utcOffsetUs; /* wall clock minus stream time; 0 until the first frame */
    atomic_ullong seen; /* access units seen, dropped ones included */
    /* Counters, read by Close once the thread is joined. */
    atomic_ullong sent;
    atomic_ullong accepted;
    atomic_ullong refused;
    atomic_ullong refusedAtStop; /* STATUS_STOPPING: the core stops, nothing is lost to it */
    atomic_ullong dropped; /* not sent: they came before the next key frame */
    atomic_int coreStopping; /* the core said STATUS_STOPPING: nothing more is sent */
    GstBus* bus; /* the running pipeline's, for Close to wake; guarded by stopper.lock */
    /* A file camera's units in Annex-B form: the streaming thread's, freed
     * by the supervisor once the pipeline is gone. */
    struct {
        GstCaps* caps;           /* whose codec_data gave `parameterSets` */
        uint8_t* parameterSets;  /* SPS and PPS behind start codes, put in front of key frames */
        size_t parameterSetsSize;
        uint8_t* unit;           /* the unit being sent */
        size_t capacity;
    } annexB;
} Camera;

/* Set in Load and Open on the main thread before any camera thread starts;
 * read-only afterwards. */
static CoreCallback core;
static Settings settings = {2, 640, 360, 25, 400, 25};
static char pattern[32] = "ball";
static Camera cameras[MAX_CAMERAS];
static ExampleStopper stopper;
static int stopperReady;

/* ---- Settings ------------------------------------------------------- */

static void sourceSetting(const char* path, const char* name, const char* value) {
    char* end = NULL;
    const long number = strtol(name + strlen("source."), &end, 10);
    if (end == NULL || *end != '\0' || number < 1 || number > MAX_CAMERAS ||
        strlen(value) >= sizeof(cameras[0].location)) {
        examplePrint("%s: unusable setting %s", path, name);
        return;
    }
    Camera* camera = &cameras[number - 1];
    camera->kind = strcmp(value, "test") == 0           ? SOURCE_TEST
                   : strncmp(value, "rtsp://", 7) == 0 ? SOURCE_RTSP
                                                       : SOURCE_FILE;
    snprintf(camera->location, sizeof(camera->location), "%s", value);
}

/* A name goes into a pipeline description: letters, digits and '-' only. */
static int isPatternName(const char* value) {
    const size_t length = strlen(value);
    return length > 0 && length < sizeof(pattern) &&
           strspn(value, "abcdefghijklmnopqrstuvwxyz0123456789-") == length;
}

static void readSettings(void) {
    char path[4096];
    FILE* file = exampleOpenSettings((void (*)(void))readSettings, path, sizeof(path));
    if (file == NULL) return;
    char line[1200];
    char* name;
    char* value;
    static const struct { const char* name; long minimum, maximum; long* value; } numbers[] = {
        {"cameras", 1, MAX_CAMERAS, &settings.cameras},
        {"width", 16, 3840, &settings.width},
        {"height", 16, 2160, &settings.height},
        {"frames_per_second", 1, 120, &settings.framesPerSecond},
        {"bitrate", 16, 100000, &settings.bitrate},
        {"key_interval", 1, 750, &settings.keyInterval}};
    while (exampleNextSetting(file, path, line, sizeof(line), &name, &value)) {
        size_t i = 0;
        while (i < sizeof(numbers) / sizeof(numbers[0]) && strcmp(name, numbers[i].name) != 0) ++i;
        if (i < sizeof(numbers) / sizeof(numbers[0])) {
            exampleNumberSetting(path, name, value, numbers[i].minimum, numbers[i].maximum,
                                 numbers[i].value);
        } else if (strcmp(name, "pattern") == 0 && isPatternName(value)) {
            strcpy(pattern, value);
        } else if (strncmp(name, "source.", 7) == 0) {
            sourceSetting(path, name, value);
        } else {
            examplePrint("%s: unknown setting %s", path, name);
        }
    }
    fclose(file);
}

/* ---- Sending frames ------------------------------------------------- */

static const char* refusalName(int32_t code) {
    switch (code) {
        case STATUS_NO_SEQUENCE: return "no open sequence";
        case STATUS_OVERRUN: return "sequence overrun";
        case STATUS_THROTTLED: return "memory is low, the core throttles video";
        case STATUS_NO_MEMORY: return "the core has no room for it";
        case STATUS_STOPPING: return "the core is stopping";
        case STATUS_CANCELLED: return "cancelled";
        default: return "unknown status";
    }
}

/* Hands one access unit to the core, which copies it before it returns. */
static int32_t sendFrame(const Camera* camera, const ExampleVideoInfo* info, const GstMapInfo* map) {
    CoreMessage message;
    memset(&message, 0, sizeof(message));
    message.size = sizeof(message);
    message.version = 1;
    message.length = (uint32_t)map->size;
    message.payload = map->data;
    message.source = camera->source;
    message.flags = MSG_SELECT_0;
    message.type = EXAMPLE_TYPE_VIDEO_FRAME;
    /* Every key frame opens the camera's sequence anew. */
    message.extra[CORE_MESSAGE_SEQUENCE_START] = info->keyFrame ? 1 : 0;
    examplePutVideoInfo(message.extra, info);
    CoreStatus status = {sizeof(status), 1, STATUS_OK};
    core(&message, &status);
    return status.code;
}

/* The frame's description: its times, its size, whether it is a key frame. */
static void describe(Camera* camera, GstSample* sample, GstBuffer* buffer, ExampleVideoInfo* info) {
    memset(info, 0, sizeof(*info));
    info->magic = EXAMPLE_VIDEO_MAGIC;
    info->camera = camera->number;
    info->number = atomic_fetch_add(&camera->seen, 1) + 1;
    const GstClockTime pts = GST_BUFFER_PTS_IS_VALID(buffer) ? GST_BUFFER_PTS(buffer)
                                                               : GST_BUFFER_DTS(buffer);
    info->ptsNs = (int64_t)pts;
    info->dtsNs = GST_BUFFER_DTS_IS_VALID(buffer) ? (int64_t)GST_BUFFER_DTS(buffer) : info->ptsNs;
    /* The wall clock is read once per pipeline: later frames keep the
     * stream's own spacing. */
    long long offset = atomic_load(&camera->utcOffsetUs);
    if (offset == 0) {
        offset = (long long)exampleWallClockUs() - info->ptsNs / 1000;
        atomic_store(&camera->utcOffsetUs, offset);
    }
    info->utcUs = offset + info->ptsNs / 1000;
    const GstStructure* format = gst_caps_get_structure(gst_sample_get_caps(sample), 0);
    int width = 0, height = 0;
    gst_structure_get_int(format, "width", &width);
    gst_structure_get_int(format, "height", &height);
    info->width = (uint32_t)width;
    info->height = (uint32_t)height;
    info->keyFrame = !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
}

/* Sends a frame, or drops it while the camera waits for a key frame. */
static void deliver(Camera* camera, const ExampleVideoInfo* info, const GstMapInfo* map) {
    /* Once the core stops it takes nothing more; the frames until Close are
     * not gaps in a recording. */
    if (atomic_load(&camera->coreStopping)) {
        atomic_fetch_add(&camera->refusedAtStop, 1);
        return;
    }
    const int waiting = atomic_load(&camera->waitingForKey);
    if (waiting && !info->keyFrame) {
        atomic_fetch_add(&camera->dropped, 1);
        return;
    }
    atomic_fetch_add(&camera->sent, 1);
    const int32_t code = sendFrame(camera, info, map);
    if (code == STATUS_OK) {
        atomic_fetch_add(&camera->accepted, 1);
        atomic_store(&camera->waitingForKey, 0);
        return;
    }
    if (code == STATUS_STOPPING) {
        atomic_fetch_add(&camera->refusedAtStop, 1);
        atomic_store(&camera->coreStopping, 1);
        return;
    }
    atomic_fetch_add(&camera->refused, 1);
    /* Said once per gap, not for every key frame refused while it lasts. */
    if (!waiting) {
        examplePrint("camera: camera %u: frame %llu refused (%s); resuming at the next key frame",
                     camera->number, (unsigned long long)info->number, refusalName(code));
    }
    atomic_store(&camera->waitingForKey, 1);
}

/* Takes the parameter sets from the caps' codec_data when the caps are new;
 * 0 when they have none usable. */
static int takeParameterSets(Camera* camera, GstCaps* caps) {
    if (camera->annexB.caps == caps) return camera->annexB.parameterSets != NULL;
    gst_caps_replace(&camera->annexB.caps, caps);
    free(camera->annexB.parameterSets);
    camera->annexB.parameterSets = NULL;
    const GValue* value = gst_structure_get_value(gst_caps_get_structure(caps, 0), "codec_data");
    GstBuffer* record = value != NULL && G_VALUE_HOLDS(value, GST_TYPE_BUFFER)
                            ? gst_value_get_buffer(value)
                            : NULL;
    GstMapInfo map;
    if (record != NULL && gst_buffer_map(record, &map, GST_MAP_READ)) {
        camera->annexB.parameterSets =
            exampleAvcParameterSets(map.data, map.size, &camera->annexB.parameterSetsSize);
        gst_buffer_unmap(record, &map);
    }
    if (camera->annexB.parameterSets == NULL) {
        examplePrint("camera: camera %u: %s has no usable H.264 configuration (SPS, PPS and "
                     "four-byte lengths)", camera->number, camera->location);
    }
    return camera->annexB.parameterSets != NULL;
}

/* A file camera's unit from the demuxer (AVC: lengths in front of the NAL
 * units) in Annex-B form, with the parameter sets in front of a key frame:
 * one copy into the camera's buffer, where a parser converting to the byte
 * stream would copy each unit more than once. 0 when it cannot be made:
 * the file has no usable configuration, the unit is malformed, or there is
 * no memory for it. */
static int convertUnit(Camera* camera, GstCaps* caps, const ExampleVideoInfo* info,
                       GstMapInfo* map) {
    if (!takeParameterSets(camera, caps)) return 0;
    const size_t front = info->keyFrame ? camera->annexB.parameterSetsSize : 0;
    if (front + map->size > camera->annexB.capacity) {
        const size_t capacity = (front + map->size) * 2;
        uint8_t* unit = realloc(camera->annexB.unit, capacity);
        if (unit == NULL) return 0;
        camera->annexB.unit = unit;
        camera->annexB.capacity = capacity;
    }
    memcpy(camera->annexB.unit, camera->annexB.parameterSets, front);
    const size_t size = exampleAvcToAnnexB(map->data, map->size, camera->annexB.unit + front);
    if (size == 0) return 0;
    map->data = camera->annexB.unit;
    map->size = front + size;
    return 1;
}

static void dropConversion(Camera* camera) {
    gst_caps_replace(&camera->annexB.caps, NULL);
    free(camera->annexB.parameterSets);
    free(camera->annexB.unit);
    memset(&camera->annexB, 0, sizeof(camera->annexB));
}

/* The appsink callback, on the pipeline's streaming thread. */
static GstFlowReturn onSample(GstAppSink* sink, gpointer data) {
    Camera* camera = data;
    GstSample* sample = gst_app_sink_pull_sample(sink);
    if (sample == NULL) return GST_FLOW_EOS;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstCaps* caps = gst_sample_get_caps(sample);
    GstMapInfo map;
    if (buffer != NULL && caps != NULL && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        ExampleVideoInfo info;
        describe(camera, sample, buffer, &info);
        GstMapInfo unit = map;
        if (camera->kind != SOURCE_FILE || convertUnit(camera, caps, &info, &unit)) {
            deliver(camera, &info, &unit);
        } else {
            /* What follows it up to the next key frame would not decode. */
            atomic_fetch_add(&camera->dropped, 1);
            atomic_store(&camera->waitingForKey, 1);
        }
        gst_buffer_unmap(buffer, &map);
    }
    gst_sample_unref(sample);
    return GST_FLOW_OK;
}

/* ---- Pipelines ------------------------------------------------------ */

/* The gst-launch description of a camera's pipeline; its first element is
 * named "source" where a location is to be set on it. */
static void describePipeline(const Camera* camera, char* out, size_t outSize) {
    static const char tail[] =
        "h264parse config-interval=-1 ! video/x-h264,stream-format=byte-stream,alignment=au ! "
        "appsink name=sink";
    if (camera->kind == SOURCE_RTSP) {
        snprintf(out, outSize, "rtspsrc name=source latency=200 protocols=tcp buffer-mode=none ! rtph264depay ! %s "
                               "sync=false", tail);
    } else if (camera->kind == SOURCE_FILE) {
        /* Played at its frame rate: the sink waits for each frame's time.
         * The demuxer gives whole access units in AVC form, which need no
         * parser: the camera makes them Annex-B itself (convertUnit). */
        snprintf(out, outSize,
                 "filesrc name=source ! matroskademux ! "
                 "video/x-h264,stream-format=avc,alignment=au ! appsink name=sink sync=true");
    } else {
        snprintf(out, outSize,
                 "videotestsrc is-live=true pattern=%s ! "
                 "video/x-raw,width=%ld,height=%ld,framerate=%ld/1 ! "
                 "clockoverlay halignment=left valignment=bottom font-desc=\"Sans 14\" "
                 "time-format=\"camera %u  %%Y-%%m-%%d %%H:%%M:%%S\" ! videoconvert ! "
                 "x264enc tune=zerolatency speed-preset=ultrafast bitrate=%ld key-int-max=%ld ! "
                 "%s sync=false",
                 pattern, settings.width, settings.height, settings.framesPerSecond, camera->number,
                 settings.bitrate, settings.keyInterval, tail);
    }
}

static GstElement* buildPipeline(Camera* camera, char* why, size_t whySize) {
    char description[2048];
    describePipeline(camera, description, sizeof(description));
    GstElement* pipeline = exampleBuildPipeline(description, why, whySize);
    if (pipeline == NULL) return NULL;
    if (camera->kind != SOURCE_TEST) {
        GstElement* source = gst_bin_get_by_name(GST_BIN(pipeline), "source");
        g_object_set(source, "location", camera->location, NULL);
        gst_object_unref(source);
    }
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    GstAppSinkCallbacks callbacks;
    memset(&callbacks, 0, sizeof(callbacks));
    callbacks.new_sample = onSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, camera, NULL);
    gst_object_unref(sink);
    return pipeline;
}

typedef enum Outcome { STOPPED, ENDED, FAILED } Outcome;

/* Makes `bus` the one Close wakes, unless Close has come already; 0 then.
 * The stopper's lock orders the two: Close either finds the bus or this
 * finds the stopper stopped. */
static int exposeBus(Camera* camera, GstBus* bus) {
    pthread_mutex_lock(&stopper.lock);
    const int running = !stopper.stopped;
    camera->bus = running ? bus : NULL;
    pthread_mutex_unlock(&stopper.lock);
    return running;
}

/* Called by Close once the stopper is stopped: wakes the camera's thread
 * from its wait on the bus. */
static void wakeWatch(Camera* camera) {
    pthread_mutex_lock(&stopper.lock);
    if (camera->bus != NULL) {
        gst_bus_post(camera->bus, gst_message_new_application(NULL, gst_structure_new_empty("stop")));
    }
    pthread_mutex_unlock(&stopper.lock);
}

/* Waits for the pipeline's end, its first error, or Close; the thread
 * sleeps until one of them (a timed poll would wake it for nothing several
 * times a second, for every camera). */
static Outcome watch(Camera* camera, GstElement* pipeline, char* why, size_t whySize) {
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* message = NULL;
    if (exposeBus(camera, bus)) {
        message = gst_bus_timed_pop_filtered(
            bus, GST_CLOCK_TIME_NONE, GST_MESSAGE_EOS | GST_MESSAGE_ERROR | GST_MESSAGE_APPLICATION);
        exposeBus(camera, NULL);
    }
    gst_object_unref(bus);
    Outcome outcome = STOPPED;
    if (message == NULL || GST_MESSAGE_TYPE(message) == GST_MESSAGE_APPLICATION) {
        /* Close came */
    } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS) {
        outcome = ENDED;
        snprintf(why, whySize, "end of stream");
    } else {
        outcome = FAILED;
        GError* error = NULL;
        gst_message_parse_error(message, &error, NULL);
        snprintf(why, whySize, "%s", error != NULL ? error->message : "error");
        g_clear_error(&error);
    }
    if (message != NULL) gst_message_unref(message);
    return outcome;
}

/* Runs one pipeline of the camera from start to end. */
static Outcome runPipeline(Camera* camera, char* why, size_t whySize) {
    atomic_store(&camera->waitingForKey, 1);
    atomic_store(&camera->utcOffsetUs, 0);
    GstElement* pipeline = buildPipeline(camera, why, whySize);
    if (pipeline == NULL) return FAILED;
    Outcome outcome = FAILED;
    if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        snprintf(why, whySize, "cannot start");
    } else {
        outcome = watch(camera, pipeline, why, whySize);
    }
    exampleDropPipeline(&pipeline);
    dropConversion(camera);
    return outcome;
}

static const char* sourceName(const Camera* camera) {
    return camera->kind == SOURCE_TEST ? "test source" : camera->location;
}

/* A camera's thread: its pipeline, again after every failure, until Close. */
static void* runCamera(void* argument) {
    Camera* camera = argument;
    long backoff = 1;
    for (;;) {
        const unsigned long long before = atomic_load(&camera->accepted);
        char why[512] = "";
        const Outcome outcome = runPipeline(camera, why, sizeof(why));
        if (outcome == STOPPED) break;
        if (outcome == ENDED && camera->kind == SOURCE_FILE) {
            examplePrint("camera: camera %u: end of %s", camera->number, camera->location);
            break;
        }
        if (exampleStopped(&stopper)) break; /* it failed because it was stopped */
        /* A pipeline that delivered frames ran well: the next failure
         * starts the back-off afresh. */
        if (atomic_load(&camera->accepted) != before) backoff = 1;
        examplePrint("camera: camera %u: %s failed (%s); retrying in %ld s", camera->number,
                     sourceName(camera), why, backoff);
        if (!exampleSleepFor(&stopper, backoff)) break;
        backoff = backoff * 2 > MAX_BACKOFF_SECONDS ? MAX_BACKOFF_SECONDS : backoff * 2;
    }
    return NULL;
}

/* ---- Life cycle ----------------------------------------------------- */

int32_t Load(const LoadContext* context, PluginInfo* info) {
    /* The context dies when Load returns; the callback is kept. */
    core = context->callback;
    info->id = CAMERA_ID;
    /* Entry 5 is the close order key, larger first: the cameras stop before
     * the plugins that take their frames are closed. The plugin asks for no
     * Write and no Read, so the mask selects nothing for it. */
    info->eventMasks[5] = 1;
    return 0;
}

static int startCamera(Camera* camera, uint32_t number) {
    camera->number = number;
    camera->source = ((uint64_t)number << 32) | CAMERA_ID;
    examplePrint("camera: camera %u: %s", number, sourceName(camera));
    const int error = pthread_create(&camera->thread, NULL, runCamera, camera);
    camera->started = error == 0;
    return error;
}

int32_t Open(const OpenParams* params, OpenResult* result) {
    (void)params;
    (void)result;
    readSettings();
    int error = exampleStartGstreamer("camera");
    if (error != 0) return error;
    error = exampleStopperInit(&stopper);
    if (error != 0) return error;
    stopperReady = 1;
    examplePrint("camera: %ld camera%s; test sources %ldx%ld, %ld frames/s, %ld kbit/s, a key "
                 "frame every %ld frames",
                 settings.cameras, settings.cameras == 1 ? "" : "s", settings.width,
                 settings.height, settings.framesPerSecond, settings.bitrate, settings.keyInterval);
    for (long i = 0; i < settings.cameras && error == 0; ++i) {
        error = startCamera(&cameras[i], (uint32_t)(i + 1));
    }
    return error;
}

/* Called even when Open failed half-way: stops what did start. */
int32_t Close(const CloseParams* params, CoreStatus* status) {
    (void)params;
    (void)status;
    if (!stopperReady) return 0;
    exampleStop(&stopper);
    for (long i = 0; i < settings.cameras; ++i) wakeWatch(&cameras[i]);
    for (long i = 0; i < settings.cameras; ++i) {
        Camera* camera = &cameras[i];
        if (!camera->started) continue;
        pthread_join(camera->thread, NULL);
        camera->started = 0;
        examplePrint("camera: camera %u: %llu frames sent, %llu accepted, %llu refused, %llu "
                     "dropped before a key frame, %llu refused as the core stopped",
                     camera->number, (unsigned long long)atomic_load(&camera->sent),
                     (unsigned long long)atomic_load(&camera->accepted),
                     (unsigned long long)atomic_load(&camera->refused),
                     (unsigned long long)atomic_load(&camera->dropped),
                     (unsigned long long)atomic_load(&camera->refusedAtStop));
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
