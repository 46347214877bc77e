/*
 * The hostile plugins of the end-to-end tests: one library, copied under
 * the name of the role each copy plays (see hostile.h for how they talk to
 * their test). The roles:
 *
 *   hold_open     Open lists the descriptors the server passes on to a child
 *                 it would start ("fd <n> cloexec=<0|1> <target>"), writes
 *                 into a pipe nobody reads, then waits until the flag
 *                 "release" is set.
 *   flooder       a thread sends while its flags are set: events of the
 *                 size "flood" carries to the sink, and read requests to
 *                 the reader, as many as "requests" carries or without end;
 *                 it counts every outcome.
 *                 Its Close waits, while flooding, until a send was refused
 *                 with STATUS_STOPPING.
 *   sink          a slow consumer: 2 ms in each Write, or as many as the flag
 *                 "slow" carries; counts the events and the core's notices
 *                 it gets.
 *   reader        each Read waits while the flag "hold" is set, and counts
 *                 how many run at once. With the flag "stuck" set at Open it
 *                 asks itself for HOSTILE_STUCK_HANDLE, whose Read never
 *                 returns and sends answers for good, counting the outcomes,
 *                 also after its plugin was unloaded.
 *   stuck_close   Close never returns; it is closed first.
 *   stuck_write   sends itself one event in Open whose Write does not return
 *                 until the flag "release" is set.
 *   reject_error, reject_return
 *                 Load starts a thread that ticks for good, then the plugin
 *                 rejects itself through loadError 7, or by returning 5.
 *   oversized     Open sends an event and a read request whose lengths pass
 *                 the payload maximum, from a 16-byte buffer.
 *   crasher       sends itself one event in Open; its Write faults.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <pthread.h>
#include <sys/mman.h>

#include "hostile.h"

enum Role {
    kPlain, kHoldOpen, kFlooder, kSink, kReader, kStuckClose, kStuckWrite,
    kRejectError, kRejectReturn, kOversized, kCrasher
};

static enum Role role;

static enum Role roleOf(const char* name) {
    static const struct {
        const char* name;
        enum Role role;
    } roles[] = {{"hold_open", kHoldOpen},       {"flooder", kFlooder},
                 {"sink", kSink},                {"reader", kReader},
                 {"stuck_close", kStuckClose},   {"stuck_write", kStuckWrite},
                 {"reject_error", kRejectError}, {"reject_return", kRejectReturn},
                 {"oversized", kOversized},      {"crasher", kCrasher}};
    size_t i;
    for (i = 0; i < sizeof roles / sizeof roles[0]; ++i) {
        if (strcmp(name, roles[i].name) == 0) return roles[i].role;
    }
    return kPlain;
}

static void forever(void) {
    for (;;) hostileSleep(1000);
}

/* ---- hold_open -------------------------------------------------------- */

static void listDescriptors(void) {
    DIR* listing = opendir("/proc/self/fd");
    const struct dirent* entry;
    if (listing == NULL) return;
    while ((entry = readdir(listing)) != NULL) {
        const int fd = atoi(entry->d_name);
        char link[64];
        char target[1024];
        ssize_t length;
        if (fd <= 2 || fd == dirfd(listing)) continue;
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        length = readlink(link, target, sizeof target - 1);
        target[length < 0 ? 0 : length] = '\0';
        hostileReport("fd %d cloexec=%d %s", fd, (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0, target);
    }
    closedir(listing);
}

/* Writes into a pipe nobody reads, as a plugin whose peer went away does:
 * with SIGPIPE ignored the write fails with EPIPE and the server lives. */
static void writeToBrokenPipe(void) {
    int ends[2];
    ssize_t written;
    if (pipe2(ends, O_CLOEXEC) != 0) return;
    close(ends[0]);
    written = write(ends[1], "x", 1);
    hostileReport("broken pipe written=%ld errno=%d", (long)written, written < 0 ? errno : 0);
    close(ends[1]);
}

static void holdOpen(void) {
    listDescriptors();
    writeToBrokenPipe();
    hostileReport("opening pid=%ld", (long)getpid());
    while (!hostileFlag("release")) hostileSleep(20);
}

/* ---- flooder ---------------------------------------------------------- */

static struct {
    long long ok, nomem, stopping, other, late, requests, refusedRequests;
} sent;
static int quitting;
static pthread_t flooderThread;

static long long sentTotal(void) {
    return hostileRead(&sent.ok) + hostileRead(&sent.nomem) + hostileRead(&sent.stopping) +
           hostileRead(&sent.other) + hostileRead(&sent.requests);
}

static void reportSent(const char* word) {
    hostileReport("%s ok=%lld nomem=%lld stopping=%lld other=%lld late=%lld requests=%lld "
                  "refusedRequests=%lld",
                  word, hostileRead(&sent.ok), hostileRead(&sent.nomem),
                  hostileRead(&sent.stopping), hostileRead(&sent.other), hostileRead(&sent.late),
                  hostileRead(&sent.requests), hostileRead(&sent.refusedRequests));
}

static void sendEvent(const char* payload, uint32_t length) {
    const CoreMessage event = hostileMessage(MSG_SELECT_1, HOSTILE_EVENT, payload, length);
    switch (hostileSend(&event)) {
        case STATUS_OK:
            hostileCount(&sent.ok);
            /* Nothing accepted after a refusal for the stop would be seen. */
            if (hostileRead(&sent.stopping) != 0) hostileCount(&sent.late);
            break;
        case STATUS_NO_MEMORY: hostileCount(&sent.nomem); break;
        case STATUS_STOPPING: hostileCount(&sent.stopping); break;
        default: hostileCount(&sent.other); break;
    }
}

static void sendRequest(void) {
    const CoreMessage request = hostileRequest(0, NULL, 0);
    hostileCount(&sent.requests);
    if (hostileSend(&request) != STATUS_OK) hostileCount(&sent.refusedRequests);
}

/* Whether to send a read request now: while the flag "requests" is set
 * (`wanted` is what it carries), as many as it carries, or without end when
 * it carries none. When the flag goes, an "idle" line tells the totals. */
static int requestWanted(long wanted) {
    static long sentWhileSet = -1;
    if (wanted < 0) {
        if (sentWhileSet >= 0) reportSent("idle");
        sentWhileSet = -1;
        return 0;
    }
    if (sentWhileSet < 0) sentWhileSet = 0;
    if (wanted > 0 && sentWhileSet >= wanted) return 0;
    ++sentWhileSet;
    return 1;
}

/* Twenty sends, then a pause of 2 ms: a steady flood that a loaded machine
 * keeps up with, faster than the sink takes it. */
static void* flood(void* unused) {
    char* payload = NULL;
    long capacity = 0;
    unsigned long long reported = 0;
    long long reportedTotal = 0;
    int i;
    (void)unused;
    while (!__atomic_load_n(&quitting, __ATOMIC_ACQUIRE)) {
        const long size = hostileFlagNumber("flood");
        const long requests = hostileFlagNumber("requests");
        if (size > capacity) {
            free(payload);
            payload = calloc(1, (size_t)size);
            capacity = payload != NULL ? size : 0;
        }
        for (i = 0; i < 20; ++i) {
            if (size >= 0) sendEvent(payload, (uint32_t)(size <= capacity ? size : 0));
            if (requestWanted(requests)) sendRequest();
        }
        if (hostileMilliseconds() - reported >= 50 && sentTotal() != reportedTotal) {
            reportSent("sent");
            reported = hostileMilliseconds();
            reportedTotal = sentTotal();
        }
        hostileSleep(2);
    }
    free(payload);
    return NULL;
}

static void closeFlooder(void) {
    const unsigned long long deadline = hostileMilliseconds() + 5000;
    while (hostileFlagNumber("flood") >= 0 && hostileRead(&sent.stopping) == 0 &&
           hostileMilliseconds() < deadline) {
        hostileSleep(5);
    }
    __atomic_store_n(&quitting, 1, __ATOMIC_RELEASE);
    pthread_join(flooderThread, NULL);
    reportSent("final");
}

/* ---- sink ------------------------------------------------------------- */

static long long delivered;
static long long notices;

static void sinkWrite(const WriteRequest* request) {
    static unsigned long long reported;
    const long pause = hostileFlagNumber("slow");
    if (request->type != HOSTILE_EVENT) return;
    hostileCount(&delivered);
    hostileSleep(pause > 0 ? pause : 2);
    if (hostileMilliseconds() - reported >= 50) {
        hostileReport("delivered n=%lld", hostileRead(&delivered));
        reported = hostileMilliseconds();
    }
}

/* ---- reader ----------------------------------------------------------- */

static int running;
static int mostRunning;
static int unloaded;

static void noteRunning(int now) {
    int most = __atomic_load_n(&mostRunning, __ATOMIC_RELAXED);
    while (now > most &&
           !__atomic_compare_exchange_n(&mostRunning, &most, now, 0, __ATOMIC_RELAXED,
                                        __ATOMIC_RELAXED)) {
    }
}

static void answerForever(uint64_t handle) {
    long long ok = 0, stopping = 0, cancelled = 0, other = 0, late = 0, afterUnload = 0;
    unsigned long long reported = 0;
    for (;;) {
        CoreMessage answer = hostileMessage(MSG_SELECT_3, HOSTILE_ANSWER, "answer", 6);
        int32_t code;
        answer.handle = handle;
        code = hostileSend(&answer);
        if (code == STATUS_OK) {
            ++ok;
            if (stopping + cancelled != 0) ++late;
        } else if (code == STATUS_STOPPING) {
            ++stopping;
        } else if (code == STATUS_CANCELLED) {
            ++cancelled;
        } else {
            ++other;
        }
        if (__atomic_load_n(&unloaded, __ATOMIC_ACQUIRE)) ++afterUnload;
        if (ok + stopping + cancelled + other == 1 || hostileMilliseconds() - reported >= 100) {
            hostileReport("answers ok=%lld stopping=%lld cancelled=%lld other=%lld late=%lld "
                          "afterUnload=%lld",
                          ok, stopping, cancelled, other, late, afterUnload);
            reported = hostileMilliseconds();
        }
        hostileSleep(1);
    }
}

static void readerRead(const ReadRequest* request) {
    const int now = __atomic_add_fetch(&running, 1, __ATOMIC_RELAXED);
    noteRunning(now);
    hostileReport("read handle=%llx length=%u running=%d most=%d",
                  (unsigned long long)request->handle, request->length, now,
                  __atomic_load_n(&mostRunning, __ATOMIC_RELAXED));
    if (request->handle == HOSTILE_STUCK_HANDLE) answerForever(request->handle);
    while (hostileFlag("hold")) hostileSleep(20);
    hostileReport("left running=%d", __atomic_sub_fetch(&running, 1, __ATOMIC_RELAXED));
}

/* ---- reject_error, reject_return -------------------------------------- */

static void* tick(void* unused) {
    int count;
    (void)unused;
    for (count = 1;; ++count) {
        hostileSleep(100);
        hostileReport("tick %d", count);
    }
    return NULL;
}

static void startTicking(void) {
    pthread_t ticker;
    if (pthread_create(&ticker, NULL, tick, NULL) == 0) pthread_detach(ticker);
}

/* ---- oversized -------------------------------------------------------- */

static void sendOversized(void) {
    static const char sixteen[16] = "sixteen bytes";
    CoreMessage event = hostileMessage(MSG_SELECT_1, HOSTILE_EVENT, sixteen, UINT32_C(0x7fffffff));
    CoreMessage request = hostileRequest(0x0B16, sixteen, UINT32_C(0x7fffffff));
    hostileReport("event length=%u status=%d", event.length, hostileSend(&event));
    event.length = CORE_MAX_PAYLOAD + 1;
    hostileReport("event length=%u status=%d", event.length, hostileSend(&event));
    hostileReport("request length=%u status=%d", request.length, hostileSend(&request));
}

/* ---- crasher ---------------------------------------------------------- */

/* A store to a page that allows no access: a real fault, which no sanitizer
 * takes for a finding of its own first. */
static void crash(void) {
    volatile char* page = mmap(NULL, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    hostileReport("crashing");
    *page = 1;
}

/* ---- Entry points ----------------------------------------------------- */

static void sendToSelf(uint64_t type) {
    const CoreMessage event = hostileMessage(MSG_SELECT_1, type, NULL, 0);
    hostileReport("sent to self status=%d", hostileSend(&event));
}

int32_t Load(const LoadContext* context, PluginInfo* info) {
    hostileIdentify(context->callback);
    role = roleOf(hostileName);
    info->id = hostileId;
    hostileReport("load id=0x%llX pid=%ld", (unsigned long long)hostileId, (long)getpid());
    switch (role) {
        case kSink: info->writeEvents = 1; info->eventMasks[1] = tessardDeliveryKey(HOSTILE_EVENT); break;
        case kReader: info->readPolling = 1; info->eventMasks[2] = tessardReadKey(HOSTILE_REQUEST); break;
        case kStuckClose: info->eventMasks[5] = 0x100; break;
        case kStuckWrite: info->writeEvents = 1; info->eventMasks[1] = tessardDeliveryKey(HOSTILE_BLOCK); break;
        case kCrasher: info->writeEvents = 1; info->eventMasks[1] = tessardDeliveryKey(HOSTILE_CRASH); break;
        case kRejectError: startTicking(); info->loadError = 7; break;
        case kRejectReturn: startTicking(); return 5;
        default: break;
    }
    return 0;
}

int32_t Open(const OpenParams* params, OpenResult* result) {
    (void)params;
    (void)result;
    hostileReport("open");
    switch (role) {
        case kHoldOpen: holdOpen(); break;
        case kFlooder: pthread_create(&flooderThread, NULL, flood, NULL); break;
        case kReader:
            if (hostileFlag("stuck")) {
                const CoreMessage request = hostileRequest(HOSTILE_STUCK_HANDLE, NULL, 0);
                hostileReport("requested status=%d", hostileSend(&request));
            }
            break;
        case kStuckWrite: sendToSelf(HOSTILE_BLOCK); break;
        case kCrasher: sendToSelf(HOSTILE_CRASH); break;
        case kOversized: sendOversized(); break;
        default: break;
    }
    hostileReport("opened");
    return 0;
}

int32_t Close(const CloseParams* params, CoreStatus* status) {
    (void)params;
    (void)status;
    hostileReport("close");
    if (role == kStuckClose) forever();
    if (role == kFlooder) closeFlooder();
    if (role == kSink) {
        hostileReport("final delivered=%lld notices=%lld", hostileRead(&delivered),
                      hostileRead(&notices));
    }
    return 0;
}

int32_t Unload(const UnloadParams* params, CoreStatus* status) {
    (void)params;
    (void)status;
    __atomic_store_n(&unloaded, 1, __ATOMIC_RELEASE);
    hostileReport("unload");
    return 0;
}

int32_t Read(const ReadRequest* request, ReadReply* reply) {
    (void)reply;
    if (role == kReader) readerRead(request);
    return 0;
}

int32_t Write(const WriteRequest* request, WriteReply* reply) {
    (void)reply;
    if (role == kSink) sinkWrite(request);
    if (role == kStuckWrite) {
        hostileReport("blocked");
        while (!hostileFlag("release")) hostileSleep(20);
        hostileReport("released");
    }
    if (role == kCrasher) crash();
    return 0;
}

int32_t IOCTL(const IoctlRequest* request, IoctlReply* reply) {
    (void)reply;
    if (role == kSink && request->code == IOCTL_TO_OTHERS) {
        hostileReport("notice n=%lld", hostileCount(&notices));
    }
    return 0;
}
