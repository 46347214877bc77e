/*
 * Reading the core's statistics document into figures (statistics.h).
 *
 * The document is one line of XML: a Statistics element holding one Server
 * element, one Plugin element per plugin (each with a Calls element per
 * timed entry point and a Sent element) and one Unattributed element.
 * Attributes are read by name with the examples' scanner, so that
 * attributes a later core adds are passed over. Called on the HTTP
 * server's thread only.
 */
#include "statistics.h"

#include <stdlib.h>
#include <string.h>

#include "example_xml.h"

const char* const statisticsServerAttributes[SERVER_FIGURES] = {
    [SERVER_QUEUE_DEPTH] = "QueueDepth",
    [SERVER_QUEUE_HIGH_WATER] = "QueueHighWater",
    [SERVER_EVENTS_DISPATCHED] = "EventsDispatched",
    [SERVER_EVENTS_REFUSED] = "EventsRefused",
    [SERVER_EVENTS_DISCARDED] = "EventsDiscarded",
    [SERVER_PAYLOAD_BYTES_HELD] = "PayloadBytesHeld",
    [SERVER_NOTICES_SENT] = "NoticesSent",
    [SERVER_THROTTLING] = "Throttling",
    [SERVER_HEAP_BYTES] = "HeapBytes",
    [SERVER_HEAP_CEILING] = "HeapCeiling",
    [SERVER_PLUGINS] = "Plugins",
};

const char* const statisticsPluginAttributes[PLUGIN_FIGURES] = {
    [PLUGIN_WRITE_CALLS] = "WriteCalls",
    [PLUGIN_WRITE_BYTES] = "WriteBytes",
    [PLUGIN_IOCTL_CALLS] = "IoctlCalls",
    [PLUGIN_IOCTL_BYTES] = "IoctlBytes",
    [PLUGIN_HOLDS] = "Holds",
    [PLUGIN_HELD_BYTES] = "HeldBytes",
    [PLUGIN_READ_WORKERS_STARTED] = "ReadWorkersStarted",
    [PLUGIN_READ_WORKERS_RUNNING] = "ReadWorkersRunning",
};

const char* const statisticsCallAttributes[CALL_FIGURES] = {
    [CALL_COUNT] = "Count",
    [CALL_SAMPLED] = "Sampled",
    [CALL_TOTAL_US] = "TotalMicroseconds",
    [CALL_MAX_US] = "MaxMicroseconds",
    [CALL_P50_US] = "P50Microseconds",
    [CALL_P99_US] = "P99Microseconds",
};

const char* const statisticsEntryNames[CALL_ENTRIES] = {
    [ENTRY_WRITE] = "Write",
    [ENTRY_IOCTL] = "IOCTL",
    [ENTRY_READ] = "Read",
};

const char* const statisticsOutcomeAttributes[OUTCOMES] = {
    [OUTCOME_ACCEPTED] = "Accepted",
    [OUTCOME_CANCELLED] = "Cancelled",
    [OUTCOME_NO_SEQUENCE] = "NoSequence",
    [OUTCOME_OVERRUN] = "Overrun",
    [OUTCOME_THROTTLED] = "Throttled",
    [OUTCOME_STOPPING] = "Stopping",
    [OUTCOME_NO_MEMORY] = "NoMemory",
};

static const char* const documentAttributes[DOCUMENT_FIGURES] = {
    [DOCUMENT_TIME] = "Time",
    [DOCUMENT_UPTIME] = "Uptime",
    [DOCUMENT_INTERVAL] = "Interval",
};

/* Reads each attribute of `names` from `tag` into the figure of the same
 * index. A missing tag leaves every figure absent. */
static void readFigures(const char* tag, const char* const* names, Figure* figures, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        figures[i].present =
            tag != NULL && exampleCounterAttribute(tag, names[i], &figures[i].value);
    }
}

/* The next start tag `name` after `from` and before `limit`; NULL if none. */
static const char* findTagBefore(const char* from, const char* name, const char* limit) {
    const char* tag = exampleFindTag(from, name);
    return tag != NULL && tag < limit ? tag : NULL;
}

/* The 32 counts of a Buckets attribute; 0 unless all of them are there. */
static int readBuckets(const char* tag, uint64_t* buckets) {
    char value[1024];
    if (!exampleAttribute(tag, "Buckets", value, sizeof(value))) return 0;
    const char* at = value;
    for (int i = 0; i < CALL_BUCKETS; ++i) {
        char* end = NULL;
        while (*at == ' ') ++at;
        if (*at < '0' || *at > '9') return 0;
        buckets[i] = (uint64_t)strtoull(at, &end, 10);
        at = end;
    }
    return 1;
}

static void readCalls(const char* plugin, const char* limit, PluginFigures* figures) {
    for (const char* calls = findTagBefore(plugin + 1, "Calls", limit); calls != NULL;
         calls = findTagBefore(calls + 1, "Calls", limit)) {
        char entry[16];
        if (!exampleAttribute(calls, "Entry", entry, sizeof(entry))) continue;
        for (int e = 0; e < CALL_ENTRIES; ++e) {
            if (strcmp(entry, statisticsEntryNames[e]) != 0) continue;
            CallFigures* call = &figures->calls[e];
            call->present = 1;
            readFigures(calls, statisticsCallAttributes, call->figure, CALL_FIGURES);
            call->hasBuckets = readBuckets(calls, call->buckets);
        }
    }
}

/* One Plugin element, whose children lie between it and `limit`. */
static void readPlugin(const char* plugin, const char* limit, PluginFigures* figures) {
    memset(figures, 0, sizeof(*figures));
    if (!exampleAttribute(plugin, "Filename", figures->filename, sizeof(figures->filename))) {
        strcpy(figures->filename, "?");
    }
    figures->id = (uint32_t)exampleLongAttribute(plugin, "ID", 0);
    readFigures(plugin, statisticsPluginAttributes, figures->figure, PLUGIN_FIGURES);
    readCalls(plugin, limit, figures);
    readFigures(findTagBefore(plugin + 1, "Sent", limit), statisticsOutcomeAttributes,
                figures->sent, OUTCOMES);
}

/* Where the children of the plugin element at `plugin` end: at the next
 * plugin, or at the element that follows the plugins. */
static const char* pluginEnd(const char* plugin) {
    const char* next = exampleFindTag(plugin + 1, "Plugin");
    if (next != NULL) return next;
    const char* unattributed = exampleFindTag(plugin + 1, "Unattributed");
    return unattributed != NULL ? unattributed : plugin + strlen(plugin);
}

static size_t countPlugins(const char* first) {
    size_t count = 0;
    for (const char* tag = first; tag != NULL; tag = exampleFindTag(tag + 1, "Plugin")) ++count;
    return count;
}

int statisticsParse(const char* text, Statistics* statistics) {
    memset(statistics, 0, sizeof(*statistics));
    const char* root = exampleFindTag(text, "Statistics");
    if (root == NULL) return 0;
    readFigures(root, documentAttributes, statistics->document, DOCUMENT_FIGURES);
    readFigures(exampleFindTag(root, "Server"), statisticsServerAttributes, statistics->server,
                SERVER_FIGURES);
    readFigures(exampleFindTag(root, "Unattributed"), statisticsOutcomeAttributes,
                statistics->unattributed, OUTCOMES);

    const char* first = exampleFindTag(root, "Plugin");
    const size_t count = countPlugins(first);
    if (count == 0) return 1;
    statistics->plugins = calloc(count, sizeof(PluginFigures));
    if (statistics->plugins == NULL) return 0;
    for (const char* tag = first; tag != NULL; tag = exampleFindTag(tag + 1, "Plugin")) {
        readPlugin(tag, pluginEnd(tag), &statistics->plugins[statistics->pluginCount++]);
    }
    return 1;
}

void statisticsFree(Statistics* statistics) {
    free(statistics->plugins);
    memset(statistics, 0, sizeof(*statistics));
}

const PluginFigures* statisticsFindPlugin(const Statistics* statistics, const char* filename) {
    for (size_t i = 0; i < statistics->pluginCount; ++i) {
        if (strcmp(statistics->plugins[i].filename, filename) == 0) return &statistics->plugins[i];
    }
    return NULL;
}
