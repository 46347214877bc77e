/*
 * Recorder: an example plugin that records the cameras' frames and plays
 * them back.
 *
 * Recording. Frames arrive through Write on the core's event handler
 * thread. The payload is shared with every other receiver and read-only,
 * and it lives only until Write returns, unless the reply sets retain: then
 * it stays until this plugin gives it back with a MSG_RELEASE message. Write
 * therefore only retains the payload and queues it; the recorder's own
 * writer thread appends it to the camera's file and then releases it. So a
 * slow disk never holds up the core's delivery of other events, and the
 * frames waiting to be written cost no copy.
 *
 * Close stops the writer only once it has written every queued frame, then
 * closes the files: no frame that reached the recorder is lost at stop.
 * Each start replaces the files of the cameras that send frames.
 *
 * Playback. The recorder asks for Read calls (readPolling). A read request
 * of type EXAMPLE_TYPE_PLAYBACK_REQUEST naming a camera makes the core start
 * a worker thread that calls Read; Read sends that camera's recorded frames
 * back, one message each, under the request's handle, then a closing
 * EXAMPLE_TYPE_PLAYBACK_END message. The core paces the worker: each send of
 * a payload waits until the previous one has been delivered and freed, so a
 * playback never floods the event queue. Read also runs once without a
 * handle when the core starts; there is nothing to play then.
 *
 * Settings (recorder.conf beside the library, all optional):
 *   directory = recordings   where the files go; relative to the server's
 *                            directory (the executable's)
 *   report_interval = 5      seconds between progress lines; 0 for none
 *   slow_disk_ms = 0         milliseconds the writer waits before each
 *                            frame, to see frames wait (retained) behind a
 *                            slow disk and Close still write every one
 *
 * Files: <directory>/camera-<n>.frames, the frames as they arrived.
 *
 * Threads: Load, Open, Close, Unload on the core's main thread; Write and
 * IOCTL on its event handler thread; Read on core worker threads; one writer
 * thread of its own. `queueLock` guards the queue and `closing`; the files
 * and their counts belong to the writer thread until Close has joined it.
 */
#define _GNU_SOURCE /* POSIX and GNU names: threads, clocks, dladdr */

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "example_frame.h"
#include "example_support.h"
#include "tessard_plugin.h"

#define RECORDER_ID UINT64_C(0x7E550020)
#define MAX_CAMERAS 64
#define MAX_FRAME_BYTES (64u * 1024u * 1024u)

typedef struct Pending {
    struct Pending* next;
    const void* payload; /* retained; given back once written */
    uint32_t length;
} Pending;

typedef struct CameraFile {
    int fd;             /* -1 until the camera's first frame */
    int failed;         /* a write failed; reported once */
    uint64_t received;  /* frames that reached the recorder */
    uint64_t written;
    uint64_t bytes;
} CameraFile;

/* Set in Load and Open on the main thread, before the event handler thread
 * and the writer start; read-only afterwards. Read, which may run on a
 * worker started before Open, waits for `ready`. */
static CoreCallback core;
static char directory[1024] = "recordings";
static long reportInterval = 5;
static long slowDiskMs = 0;
static atomic_int ready;

static pthread_mutex_t queueLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t queueChanged = PTHREAD_COND_INITIALIZER;
static Pending* queueHead; /* guarded by queueLock */
static Pending* queueTail; /* guarded by queueLock */
static int closing;        /* guarded by queueLock */
static atomic_int stopping; /* tells running playbacks to end */

static pthread_t writer;
static int writerStarted; /* main thread only */
static CameraFile files[MAX_CAMERAS + 1]; /* index: camera number */
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
        } else if (strcmp(name, "report_interval") == 0) {
            exampleNumberSetting(path, name, value, 0, 86400, &reportInterval);
        } else if (strcmp(name, "slow_disk_ms") == 0) {
            exampleNumberSetting(path, name, value, 0, 10000, &slowDiskMs);
        } else {
            examplePrint("%s: unknown or unusable setting %s", path, name);
        }
    }
    fclose(file);
}

static void cameraPath(uint32_t camera, char* path, size_t size) {
    snprintf(path, size, "%s/camera-%u.frames", directory, camera);
}

/* Like mkdir -p: every missing directory of `path` is made. */
static int makeDirectories(const char* path) {
    char partial[1024];
    snprintf(partial, sizeof(partial), "%s", path);
    for (char* slash = strchr(partial + 1, '/');; slash = strchr(slash + 1, '/')) {
        if (slash != NULL) *slash = '\0';
        if (mkdir(partial, 0755) != 0 && errno != EEXIST) return errno;
        if (slash == NULL) return 0;
        *slash = '/';
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

static int writeAll(int fd, const uint8_t* bytes, size_t length) {
    while (length > 0) {
        const ssize_t done = write(fd, bytes, length);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return done < 0 ? errno : EIO;
        bytes += done;
        length -= (size_t)done;
    }
    return 0;
}

static CameraFile* openCameraFile(uint32_t camera) {
    CameraFile* file = &files[camera];
    if (file->fd >= 0 || file->failed) return file;
    char path[1100];
    cameraPath(camera, path, sizeof(path));
    file->fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file->fd < 0) {
        file->failed = 1;
        examplePrint("recorder: cannot write %s: %s", path, strerror(errno));
    }
    return file;
}

/* Appends one frame, whole, to its camera's file. */
static void store(const Pending* frame) {
    const ExampleFrameHeader* header = frame->payload;
    if (slowDiskMs > 0) {
        const struct timespec pause = {slowDiskMs / 1000, (slowDiskMs % 1000) * 1000000L};
        nanosleep(&pause, NULL);
    }
    CameraFile* file = openCameraFile(header->camera);
    if (file->fd < 0) return;
    const int error = writeAll(file->fd, frame->payload, frame->length);
    if (error != 0) {
        if (!file->failed) examplePrint("recorder: camera %u: %s", header->camera, strerror(error));
        file->failed = 1;
        return;
    }
    ++file->written;
    file->bytes += frame->length;
}

static void reportProgress(void) {
    char line[900];
    size_t used = 0;
    for (uint32_t camera = 1; camera <= MAX_CAMERAS; ++camera) {
        const CameraFile* file = &files[camera];
        if (file->written == 0 || used >= sizeof(line) - 64) continue;
        used += (size_t)snprintf(line + used, sizeof(line) - used,
                                 "%scamera %u: %llu frames, %.1f MB", used == 0 ? "" : "; ",
                                 camera, (unsigned long long)file->written,
                                 (double)file->bytes / 1e6);
    }
    if (used > 0) examplePrint("recorder: %s", line);
}

static Pending* nextFrame(void) {
    pthread_mutex_lock(&queueLock);
    while (queueHead == NULL && !closing) pthread_cond_wait(&queueChanged, &queueLock);
    Pending* frame = queueHead;
    if (frame != NULL) {
        queueHead = frame->next;
        if (queueHead == NULL) queueTail = NULL;
    }
    pthread_mutex_unlock(&queueLock);
    return frame;
}

/* Writes frames until Close, and after Close until the queue is empty. */
static void* runWriter(void* unused) {
    (void)unused;
    struct timespec nextReport;
    clock_gettime(CLOCK_MONOTONIC, &nextReport);
    exampleAdvance(&nextReport, (uint64_t)reportInterval * 1000000000u);
    for (Pending* frame; (frame = nextFrame()) != NULL; free(frame)) {
        store(frame);
        releasePayload(frame->payload);
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (reportInterval > 0 && now.tv_sec >= nextReport.tv_sec) {
            reportProgress();
            nextReport = now;
            exampleAdvance(&nextReport, (uint64_t)reportInterval * 1000000000u);
        }
    }
    return NULL;
}

/* ---- Recording: delivery -------------------------------------------- */

/* Queues a retained frame for the writer; 0 when it could not be queued. */
static int enqueue(const void* payload, uint32_t length) {
    Pending* frame = malloc(sizeof(*frame));
    if (frame == NULL) return 0;
    frame->next = NULL;
    frame->payload = payload;
    frame->length = length;
    pthread_mutex_lock(&queueLock);
    if (queueTail != NULL) {
        queueTail->next = frame;
    } else {
        queueHead = frame;
    }
    queueTail = frame;
    pthread_cond_signal(&queueChanged);
    pthread_mutex_unlock(&queueLock);
    return 1;
}

int32_t Write(const WriteRequest* request, WriteReply* reply) {
    if (request->type != EXAMPLE_TYPE_VIDEO_FRAME || !writerStarted) return 0;
    ExampleFrameHeader header;
    if (!exampleFrameIntact(request->payload, request->length, &header) || header.camera == 0 ||
        header.camera > MAX_CAMERAS) {
        ++unusable;
        return 0;
    }
    /* Counted here, read by Close after the event handler thread has
     * stopped: the core stops it before it closes any plugin. */
    ++files[header.camera].received;
    /* The payload is kept past this call only if the writer will give it back. */
    reply->retain = enqueue(request->payload, request->length) ? 1 : 0;
    return 0;
}

/* ---- Playback ------------------------------------------------------- */

/* Sends one message of a playback; the core blocks here while the previous
 * payload of this thread is still on its way. */
static int32_t sendPlayback(uint64_t handle, uint64_t type, const void* payload, uint32_t length) {
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
    CoreStatus status = {sizeof(status), 1, STATUS_OK};
    core(&message, &status);
    return status.code;
}

/* Reads the next whole frame of `fd` into `*buffer`; its length, or 0 at the
 * end of what has been written so far. */
static uint32_t readFrame(int fd, uint8_t** buffer, uint32_t* capacity) {
    ExampleFrameHeader header;
    if (read(fd, &header, sizeof(header)) != (ssize_t)sizeof(header)) return 0;
    if (header.magic != EXAMPLE_FRAME_MAGIC || header.dataLength > MAX_FRAME_BYTES) return 0;
    const uint32_t length = (uint32_t)sizeof(header) + header.dataLength;
    if (length > *capacity) {
        uint8_t* larger = realloc(*buffer, length);
        if (larger == NULL) return 0;
        *buffer = larger;
        *capacity = length;
    }
    memcpy(*buffer, &header, sizeof(header));
    const ssize_t data = read(fd, *buffer + sizeof(header), header.dataLength);
    return data == (ssize_t)header.dataLength ? length : 0;
}

/* Streams a camera's recording under `handle`; the number of frames sent,
 * or -1 when the core refused one (the handle was cancelled). */
static int64_t streamRecording(uint32_t camera, uint64_t handle, int* error) {
    char path[1100];
    cameraPath(camera, path, sizeof(path));
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return 0;
    }
    uint8_t* buffer = NULL;
    uint32_t capacity = 0;
    int64_t sent = 0;
    for (uint32_t length;
         !atomic_load(&stopping) && (length = readFrame(fd, &buffer, &capacity)) != 0;) {
        /* The core copies the frame, so the buffer is refilled at once. */
        if (sendPlayback(handle, EXAMPLE_TYPE_PLAYBACK_FRAME, buffer, length) != STATUS_OK) {
            sent = -1;
            break;
        }
        ++sent;
    }
    free(buffer);
    close(fd);
    return sent;
}

int32_t Read(const ReadRequest* request, ReadReply* reply) {
    (void)reply;
    ExamplePlaybackRequest playback;
    /* The start-up call carries no handle: there is nothing to answer. */
    if (request->handle == 0 || request->payload == NULL || request->length != sizeof(playback)) {
        return 0;
    }
    memcpy(&playback, request->payload, sizeof(playback));
    if (playback.magic != EXAMPLE_PLAYBACK_MAGIC) return 0;
    ExamplePlaybackEnd end = {EXAMPLE_PLAYBACK_MAGIC, playback.camera, 0, 0, 0};
    if (!atomic_load(&ready) || playback.camera == 0 || playback.camera > MAX_CAMERAS) {
        end.error = atomic_load(&ready) ? EINVAL : EAGAIN;
    } else {
        const int64_t sent = streamRecording(playback.camera, request->handle, &end.error);
        if (sent < 0 || atomic_load(&stopping)) return 0; /* nobody is waiting for the end */
        end.framesSent = (uint64_t)sent;
    }
    sendPlayback(request->handle, EXAMPLE_TYPE_PLAYBACK_END, &end, sizeof(end));
    return 0;
}

/* ---- Life cycle ----------------------------------------------------- */

int32_t Load(const LoadContext* context, PluginInfo* info) {
    core = context->callback;
    info->id = RECORDER_ID;
    info->writeEvents = 1;
    info->readPolling = 1;
    /* Frames are sent with MSG_SELECT_0; Write matches entry 0 against the
     * delivery key of their type: 0x1000100 gives 0x2000100. */
    info->eventMasks[0] = EXAMPLE_DELIVERY_KEY(EXAMPLE_TYPE_VIDEO_FRAME);
    /* Playback requests are read requests sent with MSG_SELECT_3; they are
     * matched against the read key of their type: 0x1000300 gives 0x800300. */
    info->eventMasks[3] = EXAMPLE_READ_KEY(EXAMPLE_TYPE_PLAYBACK_REQUEST);
    return 0;
}

int32_t Open(const OpenParams* params, OpenResult* result) {
    (void)params;
    (void)result;
    for (uint32_t camera = 0; camera <= MAX_CAMERAS; ++camera) files[camera].fd = -1;
    readSettings();
    const int error = makeDirectories(directory);
    if (error != 0) {
        examplePrint("recorder: cannot make %s: %s; recording nothing", directory, strerror(error));
        return error;
    }
    atomic_store(&ready, 1);
    const int failed = pthread_create(&writer, NULL, runWriter, NULL);
    if (failed != 0) return failed;
    writerStarted = 1;
    char where[4096];
    examplePrint("recorder: recording into %s",
                 realpath(directory, where) != NULL ? where : directory);
    return 0;
}

int32_t Close(const CloseParams* params, CoreStatus* status) {
    (void)params;
    (void)status;
    atomic_store(&stopping, 1);
    if (!writerStarted) return 0;
    pthread_mutex_lock(&queueLock);
    closing = 1;
    uint64_t waiting = 0;
    for (const Pending* frame = queueHead; frame != NULL; frame = frame->next) ++waiting;
    pthread_cond_signal(&queueChanged);
    pthread_mutex_unlock(&queueLock);
    examplePrint("recorder: closing; %llu frames still to write", (unsigned long long)waiting);
    pthread_join(writer, NULL);
    writerStarted = 0;
    for (uint32_t camera = 1; camera <= MAX_CAMERAS; ++camera) {
        CameraFile* file = &files[camera];
        if (file->fd >= 0 && close(file->fd) != 0) file->failed = 1;
        file->fd = -1;
        if (file->received == 0) continue;
        char path[1100];
        cameraPath(camera, path, sizeof(path));
        examplePrint("recorder: camera %u: %llu frames received, %llu written (%llu bytes) to %s%s",
                     camera, (unsigned long long)file->received,
                     (unsigned long long)file->written, (unsigned long long)file->bytes, path,
                     file->failed ? ", with errors" : "");
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
