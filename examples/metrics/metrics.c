/*
 * Metrics: an example plugin that serves the core's statistics over HTTP,
 * to Prometheus as text (GET /metrics) and to a person as a status page
 * that reloads itself (GET /).
 *
 * Every 10 seconds the core sends its statistics document, MSG_SELECT_7
 * with the type MSG_TYPE_STATISTICS, to the plugins whose mask entry 7
 * covers that type's delivery key; this plugin's does. Write keeps a copy
 * of the latest document and of the one before (rates are the difference
 * of the two); the HTTP server reads them on request.
 *
 * Settings (metrics.conf beside metrics.so, optional): `address`, the
 * numeric IPv4 or IPv6 address to serve on, 127.0.0.1 by default so that
 * only this machine sees the figures; `port`, 9475 by default, 0 for any
 * free one. Open prints where the page is. When the address cannot be
 * bound, that is printed once and the plugin runs on without the page.
 *
 * Threads: Load and Open on the core's main thread; Write on its event
 * handler thread; Close and Unload on threads of the stop's own, after the
 * last Write; the HTTP server's requests on libmicrohttpd's thread.
 * `documents.lock` guards the two copies and the count; Write holds it only
 * to swap pointers, never while copying or freeing, so the event handler
 * never waits on a page being written. Close stops the HTTP server, which
 * joins its thread, before anything it reads is freed.
 */
#define _GNU_SOURCE /* POSIX and GNU names: threads, clocks, dladdr */

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "example_support.h"
#include "exposition.h"
#include "http_server.h"
#include "statistics.h"
#include "status_page.h"
#include "tessard_plugin.h"

#define METRICS_ID UINT64_C(0x7E550050)
#define METRICS_DEFAULT_PORT 9475

typedef struct Settings {
    char address[64];
    long port;
} Settings;

/* One copy of a document, terminated for the scanner. */
typedef struct Document {
    char* text;
    uint64_t receivedSeconds; /* CLOCK_MONOTONIC */
} Document;

typedef struct Documents {
    pthread_mutex_t lock;
    Document latest;   /* guarded by lock */
    Document previous; /* guarded by lock */
    uint64_t count;    /* guarded by lock: documents received */
} Documents;

static Documents documents = {PTHREAD_MUTEX_INITIALIZER, {NULL, 0}, {NULL, 0}, 0};
/* Written by Open and Close on the core's threads, which the core orders;
 * the HTTP thread never reads it. */
static HttpServer* server;

static uint64_t monotonicSeconds(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec;
}

/* ---- Settings -------------------------------------------------------- */

static void readSettings(Settings* settings) {
    snprintf(settings->address, sizeof(settings->address), "127.0.0.1");
    settings->port = METRICS_DEFAULT_PORT;
    char path[PATH_MAX];
    FILE* file = exampleOpenSettings((void (*)(void))readSettings, path, sizeof(path));
    if (file == NULL) return;
    char line[512];
    char *name, *value;
    while (exampleNextSetting(file, path, line, sizeof(line), &name, &value)) {
        if (strcmp(name, "address") == 0) {
            snprintf(settings->address, sizeof(settings->address), "%s", value);
        } else if (strcmp(name, "port") == 0) {
            exampleNumberSetting(path, name, value, 0, 65535, &settings->port);
        } else {
            examplePrint("%s: unknown setting %s", path, name);
        }
    }
    fclose(file);
}

/* ---- The documents --------------------------------------------------- */

/* Keeps a copy of `payload` as the latest document; the latest becomes the
 * previous one. The copy is made and the oldest freed outside the lock. */
static void keepDocument(const void* payload, uint32_t length) {
    Document incoming = {malloc((size_t)length + 1), monotonicSeconds()};
    if (incoming.text == NULL) return;
    memcpy(incoming.text, payload, length);
    incoming.text[length] = '\0';
    pthread_mutex_lock(&documents.lock);
    Document oldest = documents.previous;
    documents.previous = documents.latest;
    documents.latest = incoming;
    ++documents.count;
    pthread_mutex_unlock(&documents.lock);
    free(oldest.text);
}

/* What a request reads: its own copies of both documents, parsed. */
typedef struct Snapshot {
    Statistics latest, previous;
    int hasLatest, hasPrevious;
    uint64_t count;
    int64_t latestAge;
} Snapshot;

static char* copyText(const char* text) { return text != NULL ? strdup(text) : NULL; }

/* 0 when memory ran out. */
static int takeSnapshot(Snapshot* snapshot) {
    memset(snapshot, 0, sizeof(*snapshot));
    pthread_mutex_lock(&documents.lock);
    char* latest = copyText(documents.latest.text);
    char* previous = copyText(documents.previous.text);
    const int complete = (latest != NULL) == (documents.latest.text != NULL) &&
                         (previous != NULL) == (documents.previous.text != NULL);
    const uint64_t received = documents.latest.receivedSeconds;
    snapshot->count = documents.count;
    pthread_mutex_unlock(&documents.lock);
    snapshot->latestAge = (int64_t)(monotonicSeconds() - received);
    snapshot->hasLatest = complete && latest != NULL && statisticsParse(latest, &snapshot->latest);
    snapshot->hasPrevious =
        complete && previous != NULL && statisticsParse(previous, &snapshot->previous);
    free(latest);
    free(previous);
    return complete;
}

static void releaseSnapshot(Snapshot* snapshot) {
    statisticsFree(&snapshot->latest);
    statisticsFree(&snapshot->previous);
}

/* ---- The HTTP server's pages ----------------------------------------- */

static enum HttpRendered render(void* owner, const char* path, HttpBody* body) {
    (void)owner;
    const int metrics = strcmp(path, "/metrics") == 0;
    if (!metrics && strcmp(path, "/") != 0) return HTTP_UNKNOWN_PATH;
    Snapshot snapshot;
    if (!takeSnapshot(&snapshot)) return HTTP_NO_MEMORY;
    TextBuffer out = {NULL, 0, 0, 0};
    if (metrics) {
        expositionWrite(&out, snapshot.hasLatest ? &snapshot.latest : NULL, snapshot.count);
        body->contentType = EXPOSITION_CONTENT_TYPE;
    } else {
        const StatusPageInput input = {snapshot.hasLatest ? &snapshot.latest : NULL,
                                       snapshot.hasPrevious ? &snapshot.previous : NULL,
                                       snapshot.count, snapshot.latestAge};
        statusPageWrite(&out, &input);
        body->contentType = STATUS_PAGE_CONTENT_TYPE;
    }
    releaseSnapshot(&snapshot);
    body->text = textTake(&out, &body->length);
    return body->text != NULL ? HTTP_RENDERED : HTTP_NO_MEMORY;
}

static void startServer(void) {
    Settings settings;
    readSettings(&settings);
    char error[256];
    server = httpServerStart(settings.address, (unsigned)settings.port, render, NULL, error,
                             sizeof(error));
    if (server == NULL) {
        examplePrint("metrics: cannot serve on %s port %ld (%s); running without the page",
                     settings.address, settings.port, error);
        return;
    }
    const int ipv6 = strchr(settings.address, ':') != NULL;
    examplePrint("metrics: page at http://%s%s%s:%u/ (Prometheus text at /metrics)",
                 ipv6 ? "[" : "", settings.address, ipv6 ? "]" : "", httpServerPort(server));
}

/* ---- Entry points ---------------------------------------------------- */

int32_t Load(const LoadContext* context, PluginInfo* info) {
    (void)context; /* the plugin sends nothing, so it keeps no callback */
    info->id = METRICS_ID;
    info->writeEvents = 1;
    /* The statistics: MSG_SELECT_7 selects entry 7; MSG_TYPE_STATISTICS
     * 0x1000020 has the delivery key 0x2000020. */
    info->eventMasks[7] = tessardDeliveryKey(MSG_TYPE_STATISTICS);
    return 0;
}

int32_t Open(const OpenParams* params, OpenResult* result) {
    (void)params;
    (void)result;
    startServer();
    return 0;
}

int32_t Write(const WriteRequest* request, WriteReply* reply) {
    (void)reply; /* retain stays 0: the copy is the plugin's own */
    if (request->source != CORE_ID || request->type != MSG_TYPE_STATISTICS ||
        request->payload == NULL) {
        return 0;
    }
    keepDocument(request->payload, request->length);
    return 0;
}

int32_t IOCTL(const IoctlRequest* request, IoctlReply* reply) {
    (void)request; /* the core's broadcasts are the console's to show */
    (void)reply;
    return 0;
}

int32_t Close(const CloseParams* params, CoreStatus* status) {
    (void)params;
    (void)status;
    httpServerStop(server);
    server = NULL;
    pthread_mutex_lock(&documents.lock);
    Document latest = documents.latest, previous = documents.previous;
    documents.latest.text = documents.previous.text = NULL;
    documents.count = 0;
    pthread_mutex_unlock(&documents.lock);
    free(latest.text);
    free(previous.text);
    return 0;
}

int32_t Unload(const UnloadParams* params, CoreStatus* status) {
    (void)params;
    (void)status;
    return 0;
}
