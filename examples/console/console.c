/*
 * Console: an example plugin that prints, readably, what the core tells its
 * plugins.
 *
 * The core's notices come two ways:
 *  - Broadcasts, flagged MSG_TO_OTHERS: the plugin table (the document the
 *    core also saves as "plugins.xml") and the memory setting (the document
 *    it saves as "core.xml"). Every plugin receives them through IOCTL with
 *    code IOCTL_TO_OTHERS, whatever its subscription masks.
 *  - Selected events, delivered through Write to the plugins that set
 *    writeEvents and whose mask for the selection bit covers the event's
 *    delivery key: text lines (MSG_SELECT_6, MSG_TYPE_TEXT: clock jumps,
 *    throttling, plugins that failed to load) and the memory state document
 *    (MSG_SELECT_2, MSG_TYPE_XML).
 *
 * Every payload is the core's shared, read-only buffer, valid until the call
 * returns; it is not terminated, so its length counts. The console copies
 * what it prints and retains nothing.
 *
 * The documents are one line of XML with the root element "Zelt". The
 * console reads the few attributes it prints with the examples' small
 * scanner (example_xml.h), so that it needs nothing but libc and the SDK
 * header.
 *
 * Threads: IOCTL and Write on the core's event handler thread, one call at a
 * time; the rest on the core's main thread. No settings.
 */
#define _GNU_SOURCE /* POSIX and GNU names: threads, clocks, dladdr */

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "example_xml.h"
#include "tessard_plugin.h"

#define CONSOLE_ID UINT64_C(0x7E550030)

/* One line, written with one call and flushed at once. */
static void printLine(const char* text) {
    flockfile(stdout);
    fputs("console: ", stdout);
    fputs(text, stdout);
    fputc('\n', stdout);
    fflush(stdout);
    funlockfile(stdout);
}

/* ---- What the console prints ---------------------------------------- */

/* The plugin table: the core, every plugin it loaded, every library it
 * could not open. */
static void showPluginTable(const char* document) {
    char line[600];
    char name[256];
    char version[64] = "?";
    const char* core = exampleFindTag(document, "Module");
    if (core == NULL) return;
    exampleAttribute(core, "Version", version, sizeof(version));
    const char* plugin = exampleFindTag(core, "Plugin");
    exampleAttribute(plugin != NULL ? plugin : core, "Filename", name, sizeof(name));
    snprintf(line, sizeof(line), "plugin table: core %s (%s)", version, name);
    printLine(line);
    /* The core's own entry comes first; plugins follow with their timings.
     * Entries without timings stand for libraries that could not be opened,
     * listed below from their own Module elements. */
    for (plugin = plugin != NULL ? exampleFindTag(plugin + 1, "Plugin") : NULL; plugin != NULL;
         plugin = exampleFindTag(plugin + 1, "Plugin")) {
        char loadTime[32];
        if (!exampleAttribute(plugin, "LoadTime", loadTime, sizeof(loadTime))) continue;
        exampleAttribute(plugin, "Filename", name, sizeof(name));
        const unsigned long id =
            (unsigned long)exampleLongAttribute(plugin, "ID", 0) & 0xFFFFFFFFul;
        snprintf(line, sizeof(line), "  %-24s id 0x%08lX  open code %ld  load %s ms  open %ld ms",
                 name, id, exampleLongAttribute(plugin, "OpenCode", 0), loadTime,
                 exampleLongAttribute(plugin, "OpenTime", 0));
        printLine(line);
    }
    for (const char* module = exampleFindTag(core + 1, "Module"); module != NULL;
         module = exampleFindTag(module + 1, "Module")) {
        exampleAttribute(module, "Name", name, sizeof(name));
        exampleAttribute(module, "Version", version, sizeof(version));
        snprintf(line, sizeof(line), "  %-24s %s", name, version);
        printLine(line);
    }
}

static void formatTime(long seconds, char* out, size_t outSize) {
    const time_t time = (time_t)seconds;
    struct tm local;
    if (localtime_r(&time, &local) == NULL ||
        strftime(out, outSize, "%Y-%m-%d %H:%M:%S", &local) == 0) {
        snprintf(out, outSize, "%ld", seconds);
    }
}

/* The memory setting (no Time) or the memory state (with Time). */
static void showMemory(const char* memory) {
    char line[200];
    char time[64];
    const long throttling = exampleLongAttribute(memory, "Throttling", 0);
    if (!exampleAttribute(memory, "Time", time, sizeof(time))) {
        snprintf(line, sizeof(line), "memory throttling is %s (core.xml)",
                 throttling ? "enabled" : "disabled");
        printLine(line);
        return;
    }
    char when[64];
    formatTime(strtol(time, NULL, 10), when, sizeof(when));
    snprintf(line, sizeof(line), throttling ? "memory is low: the core throttles video (since %s)"
                                            : "memory is fine: no throttling (%s)",
             when);
    printLine(line);
}

static void showDocument(const void* payload, uint32_t length) {
    char* document = malloc((size_t)length + 1);
    if (document == NULL) return;
    memcpy(document, payload, length);
    document[length] = '\0';
    const char* memory = exampleFindTag(document, "Memory");
    if (exampleFindTag(document, "Modules") != NULL) {
        showPluginTable(document);
    } else if (memory != NULL) {
        showMemory(memory);
    } else {
        printLine("a document the console does not know:");
        printLine(document);
    }
    free(document);
}

static void showText(const void* payload, uint32_t length) {
    char line[600];
    snprintf(line, sizeof(line), "core: %.*s", (int)length, (const char*)payload);
    printLine(line);
}

/* ---- Entry points --------------------------------------------------- */

int32_t Load(const LoadContext* context, PluginInfo* info) {
    (void)context; /* the console sends nothing, so it keeps no callback */
    info->id = CONSOLE_ID;
    info->writeEvents = 1;
    /* Text notices: MSG_SELECT_6 selects entry 6; MSG_TYPE_TEXT 0x1000002
     * has the delivery key 0x2000002. */
    info->eventMasks[6] = tessardDeliveryKey(MSG_TYPE_TEXT);
    /* The memory state: MSG_SELECT_2 selects entry 2; MSG_TYPE_XML
     * 0x1000010 has the delivery key 0x2000010. */
    info->eventMasks[2] = tessardDeliveryKey(MSG_TYPE_XML);
    return 0;
}

int32_t Open(const OpenParams* params, OpenResult* result) {
    (void)params;
    (void)result;
    return 0;
}

int32_t Close(const CloseParams* params, CoreStatus* status) {
    (void)params;
    (void)status;
    return 0;
}

int32_t Unload(const UnloadParams* params, CoreStatus* status) {
    (void)params;
    (void)status;
    return 0;
}

int32_t Write(const WriteRequest* request, WriteReply* reply) {
    (void)reply; /* retain stays 0: the payload goes back when this returns */
    if (request->payload == NULL) return 0;
    if (request->type == MSG_TYPE_TEXT) showText(request->payload, request->length);
    if (request->type == MSG_TYPE_XML) showDocument(request->payload, request->length);
    return 0;
}

int32_t IOCTL(const IoctlRequest* request, IoctlReply* reply) {
    (void)reply;
    const int broadcast = request->code == IOCTL_TO_OTHERS || request->code == IOCTL_TO_ALL;
    if (!broadcast || request->payloadRef.payload == NULL) return 0;
    /* Broadcasts carry no type; the core's are XML documents. Other
     * plugins' broadcasts are theirs to define and are not printed. */
    const char* text = request->payloadRef.payload;
    if (request->payloadRef.length > 5 && strncmp(text, "<?xml", 5) == 0) {
        showDocument(text, request->payloadRef.length);
    }
    return 0;
}
