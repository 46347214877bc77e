/*
 * Recorder: an example plugin that records the cameras' access units into
 * Matroska files and plays them back on request.
 *
 * Recording. Frames arrive through Write on the core's event handler
 * thread. The payload is shared with every other receiver and read-only; it
 * lives until Write returns unless the reply sets retain, and then until
 * this plugin gives it back with a MSG_RELEASE message. Write only retains
 * the frame and queues it: the recorder's own writer thread muxes it into
 * its camera's current segment and then gives it back. So a slow disk never
 * holds up the core's delivery of other events, and waiting frames cost no
 * copy.
 *
 * Segments. Each camera's recording is a series of Matroska files,
 * "<directory>/camera-<n>-<UTC start>.mkv" (the start as 20240501T120000.123Z).
 * A segment starts with a key frame and is cut at the first key frame after
 * segment_seconds, or earlier when the stream's parameter sets change, its
 * clock goes back, or a playback needs what it holds (below). Files are kept
 * across restarts; the retention settings delete the oldest segments of
 * any camera. Close writes every queued frame, then finishes every segment,
 * so that every file is complete and plays.
 *
 * Playback. A read request of type EXAMPLE_TYPE_PLAYBACK_REQUEST names a
 * camera and a wall-clock range. The core starts a worker thread that calls
 * Read; Read makes sure the range is in finished files (a segment still
 * being written is cut at its next key frame), demuxes the camera's
 * segments in order and sends the access units back in Annex-B form, each
 * under the request's handle, from the first key frame at or after the
 * range's start to the last frame before its end, then an
 * EXAMPLE_TYPE_PLAYBACK_END message. The core paces the worker: each send of
 * a payload waits until the previous one has been delivered and freed.
 *
 * Settings (recorder.conf beside the library, all optional):
 *   directory = recordings   where the files go; relative to the server's
 *                            directory (the executable's)
 *   segment_seconds = 60     length of a segment, 1 to 3600
 *   keep_megabytes = 0       delete the oldest segments beyond this; 0: no limit
 *   keep_hours = 0           delete segments older than this; 0: no limit
 *
 * Threads: Load, Open, Close, Unload on the core's main thread; Write and
 * IOCTL on its event handler thread; Read on core worker threads; one writer
 * thread of its own. `lock` guards the queue, `closing` and each camera's
 * `shared` part; the rest of a camera's state belongs to the writer thread
 * until Close has joined it.
 */
#define _GNU_SOURCE /* POSIX and GNU names: threads, clocks, dladdr */

#include <dirent.h>
#include <errno.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "example_gst.h"
#include "example_support.h"
#include "example_video.h"
#include "tessard_plugin.h"

#define RECORDER_ID UINT64_C(0x7E550020)
#define MAX_CAMERAS 256
#define MAX_SEGMENTS 4096
#define WRITER_BEAT_MS 40 /* a frame period at 25 frames/s */

typedef struct Pending {
    struct Pending* next;
    const void* payload; /* retained; given back once muxed */
    uint32_t length;
    ExampleVideoInfo info;
} Pending;

/* What Read and the writer both touch, under `lock`. */
typedef struct SharedState {
    int cutRequested;           /* a playback needs the open segment finished */
    uint64_t segmentsFinished;
    int64_t openSinceUtcUs;     /* start of the open segment; 0 when none */
} SharedState;

typedef struct CameraRecording {
    ExampleMkvWriter segment; /* open while segment.pipeline is set */
    char path[PATH_MAX];
    uint64_t received; /* Write thread only; read by Close after the stop */
    uint64_t written;  /* the rest: writer thread only */
    uint64_t skipped;  /* not muxed: no segment open and no key frame to open one */
    uint64_t segments;
    int failed;
    SharedState shared;
} CameraRecording;

/* Set in Load and Open on the main thread, before the event handler thread
 * and the writer start; read-only afterwards. Read, which may run on a
 * worker started before Open, waits for `ready`. */
static CoreCallback core;
static char directory[1024] = "recordings";
static long segmentSeconds = 60;
static long keepMegabytes = 0;
static long keepHours = 0;
static atomic_int ready;

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t queued = PTHREAD_COND_INITIALIZER;  /* the queue is no longer empty, or closing */
static pthread_cond_t changed = PTHREAD_COND_INITIALIZER; /* a camera's shared part, or closing */
static Pending* queueHead; /* guarded by lock */
static Pending* queueTail; /* guarded by lock */
static int closing;        /* guarded by lock */
static atomic_int stopping; /* tells running playbacks to end */

static pthread_t writer;
static int writerStarted; /* main thread only */
static CameraRecording recordings[MAX_CAMERAS + 1]; /* index: camera number */
static uint64_t unusable; /* Write thread only: payloads that were no frame */

static void readSettings(void) {
    char path[4096];
    FILE* file = exampleOpenSettings((void (*)(void))readSettings, path, sizeof(path));
    if (file == NULL) return;
    char line[1200];
    char* name;
    char* value;
    while (exampleNextSetting(file, path, line, sizeof(line), &name, &value)) {
        if (strcmp(name, "directory") == 0 && *value != '\0' && strlen(value) < 900) {
            strcpy(directory, value);
        } else if (strcmp(name, "segment_seconds") == 0) {
            exampleNumberSetting(path, name, value, 1, 3600, &segmentSeconds);
        } else if (strcmp(name, "keep_megabytes") == 0) {
            exampleNumberSetting(path, name, value, 0, 100000000, &keepMegabytes);
        } else if (strcmp(name, "keep_hours") == 0) {
            exampleNumberSetting(path, name, value, 0, 1000000, &keepHours);
        } else {
            examplePrint("%s: unknown or unusable setting %s", path, name);
        }
    }
    fclose(file);
}

/* ---- Segment files on disk ------------------------------------------ */

typedef struct SegmentFile {
    char name[128];
    uint32_t camera;
    int64_t startUtcUs;
    uint64_t bytes;
} SegmentFile;

/* Reads "camera-<n>-<UTC>.mkv"; 0 for any other name. */
static int parseSegmentName(const char* name, SegmentFile* file) {
    unsigned camera = 0;
    int used = 0;
    if (sscanf(name, "camera-%u-%n", &camera, &used) != 1 || used == 0) return 0;
    if (!exampleParseUtcName(name + used, &file->startUtcUs)) return 0;
    if (strcmp(name + used + 20, ".mkv") != 0 || strlen(name) >= sizeof(file->name)) return 0;
    file->camera = camera;
    snprintf(file->name, sizeof(file->name), "%s", name);
    return 1;
}

static int olderFirst(const void* left, const void* right) {
    const SegmentFile* a = left;
    const SegmentFile* b = right;
    return a->startUtcUs < b->startUtcUs ? -1 : a->startUtcUs > b->startUtcUs;
}

/* The segment files in the directory, of `camera` (0: of every camera),
 * oldest first; their number. `files` has room for MAX_SEGMENTS. */
static size_t listSegments(uint32_t camera, SegmentFile* files) {
    DIR* folder = opendir(directory);
    if (folder == NULL) return 0;
    size_t count = 0;
    for (struct dirent* entry; count < MAX_SEGMENTS && (entry = readdir(folder)) != NULL;) {
        SegmentFile file;
        if (!parseSegmentName(entry->d_name, &file)) continue;
        if (camera != 0 && file.camera != camera) continue;
        char path[PATH_MAX];
        struct stat status;
        snprintf(path, sizeof(path), "%s/%.127s", directory, file.name);
        file.bytes = stat(path, &status) == 0 ? (uint64_t)status.st_size : 0;
        files[count++] = file;
    }
    closedir(folder);
    qsort(files, count, sizeof(*files), olderFirst);
    return count;
}

static int isOpenSegment(const SegmentFile* file) {
    if (file->camera == 0 || file->camera > MAX_CAMERAS) return 0;
    const CameraRecording* recording = &recordings[file->camera];
    const char* base = strrchr(recording->path, '/');
    return recording->segment.pipeline != NULL && base != NULL && strcmp(base + 1, file->name) == 0;
}

/* Deletes the oldest finished segments beyond the retention limits. Writer
 * thread only (it alone knows which segments are open). */
static void applyRetention(void) {
    if (keepMegabytes == 0 && keepHours == 0) return;
    static SegmentFile files[MAX_SEGMENTS];
    const size_t count = listSegments(0, files);
    uint64_t total = 0;
    for (size_t i = 0; i < count; ++i) total += files[i].bytes;
    const int64_t oldest = (int64_t)exampleWallClockUs() - (int64_t)keepHours * 3600 * 1000000;
    for (size_t i = 0; i < count; ++i) {
        const int tooMuch = keepMegabytes > 0 && total > (uint64_t)keepMegabytes * 1000000u;
        const int tooOld = keepHours > 0 && files[i].startUtcUs < oldest;
        if (!tooMuch && !tooOld) break;
        if (isOpenSegment(&files[i])) continue;
        char path[PATH_MAX];
        snprintf(path, sizeof(path), "%s/%.127s", directory, files[i].name);
        if (unlink(path) == 0) {
            total -= files[i].bytes;
            examplePrint("recorder: retention: deleted %s", path);
        }
    }
}

/* ---- Recording: the writer thread ----------------------------------- */

/* Gives the core back this plugin's hold on a payload it retained. */
static void releasePayload(const void* payload) {
    CoreMessage message;
    memset(&message, 0, sizeof(message));
    message.size = sizeof(message);
    message.version = 1;
    message.payload = payload;
    message.source = RECORDER_ID;
    message.flags = MSG_RELEASE;
    CoreStatus status = {sizeof(status), 1, STATUS_OK};
    core(&message, &status);
}

static void finishSegment(uint32_t camera) {
    CameraRecording* recording = &recordings[camera];
    if (recording->segment.pipeline == NULL) return;
    const ExampleMkvWriter done = recording->segment;
    char why[512] = "";
    const int error = exampleMkvFinish(&recording->segment, why, sizeof(why));
    char where[PATH_MAX];
    if (error != 0) {
        examplePrint("recorder: camera %u: %s is not complete: %s", camera, recording->path, why);
        recording->failed = 1;
    } else {
        examplePrint("recorder: camera %u: wrote %s (%llu frames, %.1f s, %llu bytes)", camera,
                     exampleAbsolute(recording->path, where), (unsigned long long)done.frames,
                     (double)(done.lastUtcUs - done.startUtcUs) / 1e6,
                     (unsigned long long)done.bytes);
    }
    pthread_mutex_lock(&lock);
    recording->shared.segmentsFinished += 1;
    recording->shared.openSinceUtcUs = 0;
    recording->shared.cutRequested = 0;
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&lock);
    applyRetention();
}

static void openSegment(const Pending* frame) {
    CameraRecording* recording = &recordings[frame->info.camera];
    char start[32];
    exampleUtcName(frame->info.utcUs, start, sizeof(start));
    snprintf(recording->path, sizeof(recording->path), "%s/camera-%u-%s.mkv", directory,
             frame->info.camera, start);
    char why[512] = "";
    if (exampleMkvOpen(&recording->segment, recording->path, &frame->info, frame->payload,
                       frame->length, why, sizeof(why)) != 0) {
        if (!recording->failed) {
            examplePrint("recorder: camera %u: cannot start %s: %s", frame->info.camera,
                         recording->path, why);
        }
        recording->failed = 1;
        return;
    }
    ++recording->segments;
    pthread_mutex_lock(&lock);
    recording->shared.openSinceUtcUs = frame->info.utcUs;
    pthread_mutex_unlock(&lock);
}

/* Whether the open segment ends before this key frame. */
static int cutsBefore(const CameraRecording* recording, const Pending* frame) {
    const ExampleMkvWriter* segment = &recording->segment;
    if (frame->info.utcUs - segment->startUtcUs >= (int64_t)segmentSeconds * 1000000) return 1;
    if (frame->info.utcUs <= segment->lastUtcUs) return 1; /* the camera's clock went back */
    if (!exampleMkvSameConfig(segment, frame->payload, frame->length)) return 1;
    pthread_mutex_lock(&lock);
    const int requested = recording->shared.cutRequested;
    pthread_mutex_unlock(&lock);
    return requested;
}

/* Muxes one frame into its camera's segment. */
static void store(const Pending* frame) {
    const uint32_t camera = frame->info.camera;
    CameraRecording* recording = &recordings[camera];
    if (frame->info.keyFrame && recording->segment.pipeline != NULL &&
        cutsBefore(recording, frame)) {
        finishSegment(camera);
    }
    if (recording->segment.pipeline == NULL && frame->info.keyFrame) openSegment(frame);
    if (recording->segment.pipeline == NULL) {
        ++recording->skipped;
        return;
    }
    if (exampleMkvPush(&recording->segment, &frame->info, frame->payload, frame->length) == 0) {
        ++recording->written;
    } else if (!recording->failed) {
        examplePrint("recorder: camera %u: cannot write to %s", camera, recording->path);
        recording->failed = 1;
    }
}

/* The frames queued so far, oldest first; NULL once Close has come and
 * the queue is empty. Waits only while the queue is empty. */
static Pending* takeFrames(void) {
    pthread_mutex_lock(&lock);
    while (queueHead == NULL && !closing) pthread_cond_wait(&queued, &lock);
    Pending* frames = queueHead;
    queueHead = queueTail = NULL;
    pthread_mutex_unlock(&lock);
    return frames;
}

/* Muxes frames until Close, and after Close until the queue is empty; then
 * finishes every segment. Frames arrive one per camera and frame period:
 * the thread takes them on a beat, sleeping one beat after each batch, so
 * that it wakes about 25 times a second at any number of cameras. (Waking
 * at the first frame of each batch and then pausing for the rest to gather
 * cost two wake-ups per batch.) It waits for a signal only when a whole
 * beat brought nothing. */
static void* runWriter(void* unused) {
    (void)unused;
    const struct timespec beat = {0, WRITER_BEAT_MS * 1000 * 1000};
    for (Pending* frames; (frames = takeFrames()) != NULL; nanosleep(&beat, NULL)) {
        while (frames != NULL) {
            Pending* frame = frames;
            frames = frame->next;
            store(frame);
            releasePayload(frame->payload);
            free(frame);
        }
    }
    for (uint32_t camera = 1; camera <= MAX_CAMERAS; ++camera) finishSegment(camera);
    return NULL;
}

/* ---- Recording: delivery -------------------------------------------- */

/* Queues a retained frame for the writer; 0 when it could not be queued. */
static int enqueue(const WriteRequest* request, const ExampleVideoInfo* info) {
    Pending* frame = malloc(sizeof(*frame));
    if (frame == NULL) return 0;
    frame->next = NULL;
    frame->payload = request->payload;
    frame->length = request->length;
    frame->info = *info;
    pthread_mutex_lock(&lock);
    if (queueTail != NULL) {
        queueTail->next = frame;
    } else {
        queueHead = frame;
        pthread_cond_signal(&queued); /* the writer waits only on an empty queue */
    }
    queueTail = frame;
    pthread_mutex_unlock(&lock);
    return 1;
}

int32_t Write(const WriteRequest* request, WriteReply* reply) {
    if (request->type != EXAMPLE_TYPE_VIDEO_FRAME || !writerStarted) return 0;
    ExampleVideoInfo info;
    if (request->payload == NULL || !exampleGetVideoInfo(request->extra, &info) ||
        info.camera > MAX_CAMERAS) {
        ++unusable;
        return 0;
    }
    /* Counted here, read by Close after the event handler thread has
     * stopped: the core stops it before it closes any plugin. */
    ++recordings[info.camera].received;
    /* The payload is kept past this call only if the writer will give it back. */
    reply->retain = enqueue(request, &info) ? 1 : 0;
    return 0;
}

/* ---- Playback ------------------------------------------------------- */

/* Sends one message of a playback; the core blocks here while the previous
 * payload of this thread is still on its way. */
static int32_t sendPlayback(uint64_t handle, uint64_t type, const void* payload, uint32_t length,
                            const ExampleVideoInfo* info) {
    CoreMessage message;
    memset(&message, 0, sizeof(message));
    message.size = sizeof(message);
    message.version = 1;
    message.length = length;
    message.payload = payload;
    message.source = RECORDER_ID;
    message.handle = handle;
    message.flags = MSG_SELECT_4;
    message.type = type;
    if (info != NULL) examplePutVideoInfo(message.extra, info);
    CoreStatus status = {sizeof(status), 1, STATUS_OK};
    core(&message, &status);
    return status.code;
}

/* Waits until the frames before `toUtcUs` are in finished files: a segment
 * still open that started before then is cut at its next key frame. */
static void awaitRecorded(uint32_t camera, int64_t toUtcUs) {
    SharedState* shared = &recordings[camera].shared;
    pthread_mutex_lock(&lock);
    const uint64_t finished = shared->segmentsFinished;
    if (shared->openSinceUtcUs != 0 && shared->openSinceUtcUs < toUtcUs) {
        shared->cutRequested = 1;
        /* The condition variable runs on the real-time clock: a bounded wait. */
        struct timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_sec += 30;
        while (shared->segmentsFinished == finished && !closing && !atomic_load(&stopping) &&
               pthread_cond_timedwait(&changed, &lock, &until) != ETIMEDOUT) {
        }
    }
    pthread_mutex_unlock(&lock);
}

typedef struct Playback {
    const ExamplePlaybackRequest* request;
    uint64_t handle;
    uint64_t sent;
    int started; /* the first key frame in range has been sent */
    uint8_t* buffer;
    size_t capacity;
} Playback;

/* Sends one demuxed access unit if it is in range; 0 to go on, 1 past the
 * range's end, -1 when the core refused it (the handle was cancelled). */
static int playFrame(Playback* playback, GstSample* sample, int64_t segmentStartUtcUs) {
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    ExampleVideoInfo info;
    memset(&info, 0, sizeof(info));
    info.magic = EXAMPLE_VIDEO_MAGIC;
    info.camera = playback->request->camera;
    info.ptsNs = (int64_t)GST_BUFFER_PTS(buffer);
    info.dtsNs = GST_BUFFER_DTS_IS_VALID(buffer) ? (int64_t)GST_BUFFER_DTS(buffer) : info.ptsNs;
    info.utcUs = segmentStartUtcUs + info.ptsNs / 1000;
    info.keyFrame = !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
    if (info.utcUs >= playback->request->toUtcUs) return 1;
    if (!playback->started && (!info.keyFrame || info.utcUs < playback->request->fromUtcUs)) return 0;
    const GstStructure* format = gst_caps_get_structure(gst_sample_get_caps(sample), 0);
    gst_structure_get_int(format, "width", (int*)&info.width);
    gst_structure_get_int(format, "height", (int*)&info.height);
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return 0;
    if (map.size > playback->capacity) {
        uint8_t* larger = realloc(playback->buffer, map.size);
        if (larger != NULL) playback->buffer = larger, playback->capacity = map.size;
    }
    const size_t length =
        map.size <= playback->capacity ? exampleAvcToAnnexB(map.data, map.size, playback->buffer) : 0;
    gst_buffer_unmap(buffer, &map);
    if (length == 0) return 0;
    info.number = ++playback->sent;
    playback->started = 1;
    /* The core copies the unit, so the buffer is refilled at once. */
    const int32_t code = sendPlayback(playback->handle, EXAMPLE_TYPE_PLAYBACK_FRAME,
                                      playback->buffer, (uint32_t)length, &info);
    return code == STATUS_OK ? 0 : -1;
}

/* Plays one segment file; as playFrame, for the whole file. */
static int playSegment(Playback* playback, const SegmentFile* file) {
    char why[512];
    GstElement* pipeline = exampleBuildPipeline(
        "filesrc name=source ! matroskademux ! video/x-h264 ! appsink name=sink sync=false", why,
        sizeof(why));
    if (pipeline == NULL) return -1;
    char path[PATH_MAX];
    snprintf(path, sizeof(path), "%s/%.127s", directory, file->name);
    GstElement* source = gst_bin_get_by_name(GST_BIN(pipeline), "source");
    g_object_set(source, "location", path, NULL);
    gst_object_unref(source);
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    int outcome = 0;
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    while (outcome == 0 && !atomic_load(&stopping)) {
        GstSample* sample = gst_app_sink_pull_sample(GST_APP_SINK(sink));
        if (sample == NULL) break; /* the end of the file */
        outcome = playFrame(playback, sample, file->startUtcUs);
        gst_sample_unref(sample);
    }
    gst_object_unref(sink);
    exampleDropPipeline(&pipeline);
    return outcome;
}

/* Streams the camera's frames in the requested range; -1 when the core
 * refused one, else 0. */
static int streamRange(Playback* playback) {
    SegmentFile* files = malloc(MAX_SEGMENTS * sizeof(*files));
    if (files == NULL) return -1;
    const size_t count = listSegments(playback->request->camera, files);
    int outcome = 0;
    for (size_t i = 0; i < count && outcome == 0 && !atomic_load(&stopping); ++i) {
        /* A segment ends where the next one starts. */
        const int64_t end = i + 1 < count ? files[i + 1].startUtcUs : INT64_MAX;
        if (end <= playback->request->fromUtcUs) continue;
        if (files[i].startUtcUs >= playback->request->toUtcUs) break;
        outcome = playSegment(playback, &files[i]);
    }
    free(files);
    return outcome < 0 ? -1 : 0;
}

int32_t Read(const ReadRequest* request, ReadReply* reply) {
    (void)reply;
    ExamplePlaybackRequest wanted;
    /* The start-up call carries no handle: there is nothing to answer. */
    if (request->handle == 0 || request->payload == NULL || request->length != sizeof(wanted)) {
        return 0;
    }
    memcpy(&wanted, request->payload, sizeof(wanted));
    if (wanted.magic != EXAMPLE_PLAYBACK_MAGIC) return 0;
    ExamplePlaybackEnd end = {EXAMPLE_PLAYBACK_MAGIC, wanted.camera, 0, 0, 0};
    Playback playback = {&wanted, request->handle, 0, 0, NULL, 0};
    if (!atomic_load(&ready) || wanted.camera == 0 || wanted.camera > MAX_CAMERAS) {
        end.error = atomic_load(&ready) ? EINVAL : EAGAIN;
    } else {
        awaitRecorded(wanted.camera, wanted.toUtcUs);
        const int refused = streamRange(&playback);
        free(playback.buffer);
        if (refused || atomic_load(&stopping)) return 0; /* nobody is waiting for the end */
        end.framesSent = playback.sent;
        if (playback.sent == 0) end.error = ENOENT;
    }
    sendPlayback(request->handle, EXAMPLE_TYPE_PLAYBACK_END, &end, sizeof(end), NULL);
    return 0;
}

/* ---- Life cycle ----------------------------------------------------- */

int32_t Load(const LoadContext* context, PluginInfo* info) {
    core = context->callback;
    info->id = RECORDER_ID;
    info->writeEvents = 1;
    info->readPolling = 1;
    /* Frames are sent with MSG_SELECT_0; Write matches entry 0 against the
     * delivery key of their type (0x1000100 gives 0x2000100). */
    info->eventMasks[0] = tessardDeliveryKey(EXAMPLE_TYPE_VIDEO_FRAME);
    /* Playback requests are read requests sent with MSG_SELECT_3; they are
     * matched against the read key of their type (0x1000300 gives 0x800300). */
    info->eventMasks[3] = tessardReadKey(EXAMPLE_TYPE_PLAYBACK_REQUEST);
    return 0;
}

int32_t Open(const OpenParams* params, OpenResult* result) {
    (void)params;
    (void)result;
    readSettings();
    int error = exampleStartGstreamer("recorder");
    if (error != 0) return error;
    error = exampleMakeDirectories(directory);
    if (error != 0) {
        examplePrint("recorder: cannot make %s: %s; recording nothing", directory, strerror(error));
        return error;
    }
    atomic_store(&ready, 1);
    error = pthread_create(&writer, NULL, runWriter, NULL);
    if (error != 0) return error;
    writerStarted = 1;
    char where[PATH_MAX];
    examplePrint("recorder: recording into %s, %ld s segments", exampleAbsolute(directory, where),
                 segmentSeconds);
    return 0;
}

int32_t Close(const CloseParams* params, CoreStatus* status) {
    (void)params;
    (void)status;
    atomic_store(&stopping, 1);
    if (!writerStarted) return 0;
    /* No Write comes any more, so the count is final; it is printed before
     * the writer is woken, whose lines follow it. */
    pthread_mutex_lock(&lock);
    uint64_t waiting = 0;
    for (const Pending* frame = queueHead; frame != NULL; frame = frame->next) ++waiting;
    pthread_mutex_unlock(&lock);
    examplePrint("recorder: closing; %llu frames still to write", (unsigned long long)waiting);
    pthread_mutex_lock(&lock);
    closing = 1;
    pthread_cond_broadcast(&queued);
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&lock);
    pthread_join(writer, NULL);
    writerStarted = 0;
    for (uint32_t camera = 1; camera <= MAX_CAMERAS; ++camera) {
        const CameraRecording* recording = &recordings[camera];
        if (recording->received == 0) continue;
        examplePrint("recorder: camera %u: %llu frames received, %llu written in %llu segment%s, "
                     "%llu before a first key frame%s",
                     camera, (unsigned long long)recording->received,
                     (unsigned long long)recording->written,
                     (unsigned long long)recording->segments, recording->segments == 1 ? "" : "s",
                     (unsigned long long)recording->skipped,
                     recording->failed ? ", with errors" : "");
    }
    if (unusable > 0) {
        examplePrint("recorder: %llu payloads were not frames", (unsigned long long)unusable);
    }
    return 0;
}

int32_t Unload(const UnloadParams* params, CoreStatus* status) {
    (void)params;
    (void)status;
    return 0;
}

/* The core's broadcasts (plugin table, memory setting) arrive here; the
 * recorder keeps none of them. */
int32_t IOCTL(const IoctlRequest* request, IoctlReply* reply) {
    (void)request;
    (void)reply;
    return 0;
}
