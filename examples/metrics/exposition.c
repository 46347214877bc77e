/*
 * Writing the Prometheus text (exposition.h).
 *
 * The metric names, types and help texts are tables indexed like the
 * figures of statistics.h, so that every figure of the document has
 * exactly one family here. A family whose figure no element carried is
 * left out, HELP and TYPE lines too. Called on the HTTP server's thread
 * only.
 */
#include "exposition.h"

#include <stddef.h>

typedef struct Family {
    const char* name;
    const char* type;
    const char* help;
} Family;

static const Family documentFamilies[DOCUMENT_FIGURES] = {
    [DOCUMENT_TIME] = {"tessard_statistics_time_seconds", "gauge",
                       "When the core made the statistics, in seconds since the epoch."},
    [DOCUMENT_UPTIME] = {"tessard_uptime_seconds", "gauge", "Seconds since the core started."},
    [DOCUMENT_INTERVAL] = {"tessard_statistics_interval_seconds", "gauge",
                           "Seconds between two statistics documents of the core."},
};

static const Family serverFamilies[SERVER_FIGURES] = {
    [SERVER_QUEUE_DEPTH] = {"tessard_queue_depth", "gauge", "Events waiting in the core's queue."},
    [SERVER_QUEUE_HIGH_WATER] = {"tessard_queue_high_water", "gauge",
                                 "The most events that ever waited in the core's queue."},
    [SERVER_EVENTS_DISPATCHED] = {"tessard_events_dispatched_total", "counter",
                                  "Events the core handed out to the plugins."},
    [SERVER_EVENTS_REFUSED] = {"tessard_events_refused_total", "counter",
                               "Messages the core refused instead of queueing them."},
    [SERVER_EVENTS_DISCARDED] = {"tessard_events_discarded_total", "counter",
                                 "Events the core discarded at a stop."},
    [SERVER_PAYLOAD_BYTES_HELD] = {"tessard_payload_held_bytes", "gauge",
                                   "Payload bytes the core holds: queued and retained."},
    [SERVER_NOTICES_SENT] = {"tessard_notices_sent_total", "counter",
                             "Notices the core sent to its plugins."},
    [SERVER_THROTTLING] = {"tessard_throttling", "gauge",
                           "1 while the core throttles video for low memory, else 0."},
    [SERVER_HEAP_BYTES] = {"tessard_heap_bytes", "gauge", "Heap the server process has allocated."},
    [SERVER_HEAP_CEILING] = {"tessard_heap_ceiling_bytes", "gauge",
                             "The heap ceiling the core compares the heap with."},
    [SERVER_PLUGINS] = {"tessard_plugins", "gauge", "Plugins the core hosts."},
};

static const Family pluginFamilies[PLUGIN_FIGURES] = {
    [PLUGIN_WRITE_CALLS] = {"tessard_plugin_write_calls_total", "counter",
                            "Events the core handed to the plugin by Write."},
    [PLUGIN_WRITE_BYTES] = {"tessard_plugin_write_bytes_total", "counter",
                            "Payload bytes of the events handed to the plugin by Write."},
    [PLUGIN_IOCTL_CALLS] = {"tessard_plugin_ioctl_calls_total", "counter",
                            "Broadcasts the core handed to the plugin by IOCTL."},
    [PLUGIN_IOCTL_BYTES] = {"tessard_plugin_ioctl_bytes_total", "counter",
                            "Payload bytes of the broadcasts handed to the plugin by IOCTL."},
    [PLUGIN_HOLDS] = {"tessard_plugin_holds", "gauge", "Payloads the plugin retains."},
    [PLUGIN_HELD_BYTES] = {"tessard_plugin_held_bytes", "gauge",
                           "Bytes of the payloads the plugin retains."},
    [PLUGIN_READ_WORKERS_STARTED] = {"tessard_plugin_read_workers_started_total", "counter",
                                     "Read calls the core started for the plugin."},
    [PLUGIN_READ_WORKERS_RUNNING] = {"tessard_plugin_read_workers_running", "gauge",
                                     "Read calls of the plugin running."},
};

/* Call figures in seconds are marked by a divisor of a million. */
typedef struct CallFamily {
    Family family;
    int microseconds;
} CallFamily;

static const CallFamily callFamilies[CALL_FIGURES] = {
    [CALL_COUNT] = {{"tessard_plugin_calls_total", "counter",
                     "Calls the core made to the plugin's entry point."}, 0},
    [CALL_SAMPLED] = {{NULL, NULL, NULL}, 0}, /* the histogram's _count */
    [CALL_TOTAL_US] = {{"tessard_plugin_call_time_seconds_total", "counter",
                        "Estimated time of all calls to the entry point."}, 1},
    [CALL_MAX_US] = {{"tessard_plugin_call_max_seconds", "gauge",
                      "The longest timed call to the entry point."}, 1},
    [CALL_P50_US] = {{"tessard_plugin_call_p50_seconds", "gauge",
                      "The median time of the timed calls to the entry point."}, 1},
    [CALL_P99_US] = {{"tessard_plugin_call_p99_seconds", "gauge",
                      "The 99th percentile time of the timed calls to the entry point."}, 1},
};

static const Family callHistogram = {
    "tessard_plugin_call_duration_seconds", "histogram",
    "Times of the timed calls to the entry point: every Read, one Write or IOCTL in 64."};

static const Family sentFamily = {"tessard_plugin_messages_sent_total", "counter",
                                  "Messages the plugin sent, by the core's answer."};
static const Family unattributedFamily = {
    "tessard_unattributed_messages_total", "counter",
    "Messages from sources that are no plugin's, by the core's answer."};
static const Family documentsFamily = {
    "tessard_metrics_documents_total", "counter",
    "Statistics documents the metrics plugin received from the core."};

/* The "outcome" label values, by enum Outcome. */
static const char* const outcomeLabels[OUTCOMES] = {
    [OUTCOME_ACCEPTED] = "accepted",   [OUTCOME_CANCELLED] = "cancelled",
    [OUTCOME_NO_SEQUENCE] = "no_sequence", [OUTCOME_OVERRUN] = "overrun",
    [OUTCOME_THROTTLED] = "throttled", [OUTCOME_STOPPING] = "stopping",
    [OUTCOME_NO_MEMORY] = "no_memory",
};

static void writeHeader(TextBuffer* out, const Family* family) {
    textAppend(out, "# HELP %s %s\n# TYPE %s %s\n", family->name, family->help, family->name,
               family->type);
}

/* `microseconds` as seconds, exactly: six decimals. */
static void writeSeconds(TextBuffer* out, uint64_t microseconds) {
    textAppend(out, "%llu.%06llu", (unsigned long long)(microseconds / 1000000),
               (unsigned long long)(microseconds % 1000000));
}

/* A label value with the three characters the format escapes escaped. A
 * plugin's file name is outside text. */
static void writeLabelValue(TextBuffer* out, const char* value) {
    for (const char* at = value; *at != '\0'; ++at) {
        if (*at == '\\') textAppendRaw(out, "\\\\");
        else if (*at == '"') textAppendRaw(out, "\\\"");
        else if (*at == '\n') textAppendRaw(out, "\\n");
        else textAppend(out, "%c", *at);
    }
}

/* "name{plugin="x"" with the brace left open for more labels. */
static void writePluginSeries(TextBuffer* out, const char* name, const PluginFigures* plugin) {
    textAppend(out, "%s{plugin=\"", name);
    writeLabelValue(out, plugin->filename);
    textAppendRaw(out, "\"");
}

static void writeUnlabelled(TextBuffer* out, const Family* families, const Figure* figures,
                            size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (!figures[i].present) continue;
        writeHeader(out, &families[i]);
        textAppend(out, "%s %llu\n", families[i].name, (unsigned long long)figures[i].value);
    }
}

static void writePluginFigures(TextBuffer* out, const Statistics* statistics) {
    for (int f = 0; f < PLUGIN_FIGURES; ++f) {
        int header = 0;
        for (size_t p = 0; p < statistics->pluginCount; ++p) {
            const PluginFigures* plugin = &statistics->plugins[p];
            if (!plugin->figure[f].present) continue;
            if (!header++) writeHeader(out, &pluginFamilies[f]);
            writePluginSeries(out, pluginFamilies[f].name, plugin);
            textAppend(out, "} %llu\n", (unsigned long long)plugin->figure[f].value);
        }
    }
}

static void writeCallFigure(TextBuffer* out, int f, const Statistics* statistics) {
    const CallFamily* family = &callFamilies[f];
    int header = 0;
    for (size_t p = 0; p < statistics->pluginCount; ++p) {
        for (int e = 0; e < CALL_ENTRIES; ++e) {
            const CallFigures* call = &statistics->plugins[p].calls[e];
            if (!call->present || !call->figure[f].present) continue;
            if (!header++) writeHeader(out, &family->family);
            writePluginSeries(out, family->family.name, &statistics->plugins[p]);
            textAppend(out, ",entry=\"%s\"} ", statisticsEntryNames[e]);
            if (family->microseconds) writeSeconds(out, call->figure[f].value);
            else textAppend(out, "%llu", (unsigned long long)call->figure[f].value);
            textAppendRaw(out, "\n");
        }
    }
}

/* The time of the timed calls: the document's total is an estimate for
 * all calls, so the timed ones' share of it. */
static double sampledSeconds(const CallFigures* call) {
    const uint64_t count = call->figure[CALL_COUNT].value;
    if (count == 0) return 0.0;
    return (double)call->figure[CALL_TOTAL_US].value * (double)call->figure[CALL_SAMPLED].value /
           (double)count / 1e6;
}

static void writeHistogramSeries(TextBuffer* out, const PluginFigures* plugin, int e) {
    const CallFigures* call = &plugin->calls[e];
    const char* name = callHistogram.name;
    uint64_t cumulative = 0;
    for (int i = 0; i < CALL_BUCKETS; ++i) {
        cumulative += call->buckets[i];
        textAppend(out, "%s_bucket{plugin=\"", name);
        writeLabelValue(out, plugin->filename);
        textAppend(out, "\",entry=\"%s\",le=\"", statisticsEntryNames[e]);
        writeSeconds(out, UINT64_C(1) << i);
        textAppend(out, "\"} %llu\n", (unsigned long long)cumulative);
    }
    textAppend(out, "%s_bucket{plugin=\"", name);
    writeLabelValue(out, plugin->filename);
    textAppend(out, "\",entry=\"%s\",le=\"+Inf\"} %llu\n", statisticsEntryNames[e],
               (unsigned long long)cumulative);
    writePluginSeries(out, "tessard_plugin_call_duration_seconds_sum", plugin);
    textAppend(out, ",entry=\"%s\"} %.6f\n", statisticsEntryNames[e], sampledSeconds(call));
    writePluginSeries(out, "tessard_plugin_call_duration_seconds_count", plugin);
    textAppend(out, ",entry=\"%s\"} %llu\n", statisticsEntryNames[e],
               (unsigned long long)cumulative);
}

static void writeCalls(TextBuffer* out, const Statistics* statistics) {
    for (int f = 0; f < CALL_FIGURES; ++f) {
        if (callFamilies[f].family.name != NULL) writeCallFigure(out, f, statistics);
    }
    int header = 0;
    for (size_t p = 0; p < statistics->pluginCount; ++p) {
        for (int e = 0; e < CALL_ENTRIES; ++e) {
            if (!statistics->plugins[p].calls[e].hasBuckets) continue;
            if (!header++) writeHeader(out, &callHistogram);
            writeHistogramSeries(out, &statistics->plugins[p], e);
        }
    }
}

static void writeSent(TextBuffer* out, const Statistics* statistics) {
    int header = 0;
    for (size_t p = 0; p < statistics->pluginCount; ++p) {
        const PluginFigures* plugin = &statistics->plugins[p];
        for (int o = 0; o < OUTCOMES; ++o) {
            if (!plugin->sent[o].present) continue;
            if (!header++) writeHeader(out, &sentFamily);
            writePluginSeries(out, sentFamily.name, plugin);
            textAppend(out, ",outcome=\"%s\"} %llu\n", outcomeLabels[o],
                       (unsigned long long)plugin->sent[o].value);
        }
    }
}

static void writeUnattributed(TextBuffer* out, const Statistics* statistics) {
    int header = 0;
    for (int o = 0; o < OUTCOMES; ++o) {
        if (!statistics->unattributed[o].present) continue;
        if (!header++) writeHeader(out, &unattributedFamily);
        textAppend(out, "%s{outcome=\"%s\"} %llu\n", unattributedFamily.name, outcomeLabels[o],
                   (unsigned long long)statistics->unattributed[o].value);
    }
}

void expositionWrite(TextBuffer* out, const Statistics* statistics, uint64_t documents) {
    writeHeader(out, &documentsFamily);
    textAppend(out, "%s %llu\n", documentsFamily.name, (unsigned long long)documents);
    if (statistics == NULL) return;
    writeUnlabelled(out, documentFamilies, statistics->document, DOCUMENT_FIGURES);
    writeUnlabelled(out, serverFamilies, statistics->server, SERVER_FIGURES);
    writePluginFigures(out, statistics);
    writeCalls(out, statistics);
    writeSent(out, statistics);
    writeUnattributed(out, statistics);
}
