/*
 * Writing the status page (status_page.h).
 *
 * Every figure shown comes from the latest document; a rate needs the one
 * before as well and shows a dash until two have come, or when a counter
 * went down (it cannot while one server runs). A figure the document did
 * not carry shows a dash too. Plugin file names are outside text and are
 * escaped. Called on the HTTP server's thread only.
 */
#define _GNU_SOURCE /* localtime_r */

#include "status_page.h"

#include <stdio.h>
#include <time.h>

/* ---- Formatting ------------------------------------------------------ */

static void writeEscaped(TextBuffer* out, const char* text) {
    for (const char* at = text; *at != '\0'; ++at) {
        switch (*at) {
        case '&': textAppendRaw(out, "&amp;"); break;
        case '<': textAppendRaw(out, "&lt;"); break;
        case '>': textAppendRaw(out, "&gt;"); break;
        case '"': textAppendRaw(out, "&quot;"); break;
        default: textAppend(out, "%c", *at);
        }
    }
}

static void writeCount(TextBuffer* out, const Figure* figure) {
    if (figure->present) textAppend(out, "%llu", (unsigned long long)figure->value);
    else textAppendRaw(out, "&ndash;");
}

static void writeBytes(TextBuffer* out, const Figure* figure) {
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
    if (!figure->present) {
        textAppendRaw(out, "&ndash;");
        return;
    }
    if (figure->value < 1024) {
        textAppend(out, "%llu B", (unsigned long long)figure->value);
        return;
    }
    double value = (double)figure->value / 1024.0;
    int unit = 0;
    while (value >= 1024.0 && unit < 3) {
        value /= 1024.0;
        ++unit;
    }
    textAppend(out, "%.1f %s", value, units[unit]);
}

static void writeMicroseconds(TextBuffer* out, const Figure* figure) {
    const uint64_t value = figure->value;
    if (!figure->present) textAppendRaw(out, "&ndash;");
    else if (value < 1000) textAppend(out, "%llu&nbsp;&micro;s", (unsigned long long)value);
    else if (value < 1000000) textAppend(out, "%.1f&nbsp;ms", (double)value / 1e3);
    else textAppend(out, "%.2f&nbsp;s", (double)value / 1e6);
}

/* ---- Rates ----------------------------------------------------------- */

/* Seconds between the two documents; 0 when there is no earlier one. */
static double secondsBetween(const StatusPageInput* input) {
    if (input->previous == NULL) return 0.0;
    const Figure* now = &input->latest->document[DOCUMENT_UPTIME];
    const Figure* before = &input->previous->document[DOCUMENT_UPTIME];
    if (!now->present || !before->present || now->value <= before->value) return 0.0;
    return (double)(now->value - before->value);
}

/* The rate of a counter, per second; negative when there is none. */
static double rateOf(const Figure* now, const Figure* before, double seconds) {
    if (seconds <= 0.0 || before == NULL || !now->present || !before->present ||
        now->value < before->value) {
        return -1.0;
    }
    return (double)(now->value - before->value) / seconds;
}

static void writeRate(TextBuffer* out, double rate) {
    if (rate < 0.0) textAppendRaw(out, "&ndash;");
    else textAppend(out, "%.1f/s", rate);
}

static void writeByteRate(TextBuffer* out, double rate) {
    if (rate < 0.0) textAppendRaw(out, "&ndash;");
    else if (rate < 1024.0 * 1024.0) textAppend(out, "%.1f&nbsp;KiB/s", rate / 1024.0);
    else textAppend(out, "%.1f&nbsp;MiB/s", rate / (1024.0 * 1024.0));
}

/* ---- The page -------------------------------------------------------- */

static const char style[] =
    "body{font-family:sans-serif;font-size:14px;margin:1.5em;color:#222;background:#fafafa}"
    "h1{font-size:1.4em;margin:0 0 .3em}h2{font-size:1.1em;margin:1.2em 0 .4em}"
    "p.when{color:#555;margin:.2em 0}"
    "table{border-collapse:collapse;background:#fff}"
    "th,td{border:1px solid #ccc;padding:.2em .45em;text-align:right;white-space:nowrap}"
    "th{background:#eee}td.name,th.name{text-align:left}"
    "td.ok{color:#060}td.alarm{color:#fff;background:#b00;font-weight:bold}"
    "small{color:#666}";

static void writeHead(TextBuffer* out) {
    textAppend(out,
               "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
               "<meta http-equiv=\"refresh\" content=\"%d\">"
               "<title>tessard status</title><style>%s</style></head><body>\n"
               "<h1>tessard status</h1>\n",
               STATUS_PAGE_REFRESH, style);
}

static void writeWhen(TextBuffer* out, const StatusPageInput* input) {
    const Statistics* latest = input->latest;
    char when[64] = "?";
    const time_t made = (time_t)latest->document[DOCUMENT_TIME].value;
    struct tm local;
    if (latest->document[DOCUMENT_TIME].present && localtime_r(&made, &local) != NULL) {
        strftime(when, sizeof(when), "%Y-%m-%d %H:%M:%S", &local);
    }
    const uint64_t uptime = latest->document[DOCUMENT_UPTIME].value;
    textAppend(out,
               "<p class=\"when\">Statistics of %s (received %lld s ago; %llu received), "
               "the core up %llu h %02llu min %02llu s, new figures every %llu s. "
               "This page reloads every %d s; Prometheus reads <a href=\"/metrics\">/metrics</a>."
               "</p>\n",
               when, (long long)input->latestAge, (unsigned long long)input->documents,
               (unsigned long long)(uptime / 3600), (unsigned long long)(uptime / 60 % 60),
               (unsigned long long)(uptime % 60),
               (unsigned long long)latest->document[DOCUMENT_INTERVAL].value, STATUS_PAGE_REFRESH);
}

static void writeMemoryRow(TextBuffer* out, const Figure* server) {
    textAppendRaw(out, "<tr><th class=\"name\">Memory</th><td class=\"name\">heap ");
    writeBytes(out, &server[SERVER_HEAP_BYTES]);
    textAppendRaw(out, " of a ");
    writeBytes(out, &server[SERVER_HEAP_CEILING]);
    textAppendRaw(out, " ceiling");
    const Figure* heap = &server[SERVER_HEAP_BYTES];
    const Figure* ceiling = &server[SERVER_HEAP_CEILING];
    if (heap->present && ceiling->present && ceiling->value > 0) {
        textAppend(out, " (%.1f&nbsp;%%)", 100.0 * (double)heap->value / (double)ceiling->value);
    }
    textAppendRaw(out, "</td></tr>\n");
    const int throttling = server[SERVER_THROTTLING].present && server[SERVER_THROTTLING].value;
    textAppend(out, "<tr><th class=\"name\">Throttling</th><td class=\"name %s\">%s</td></tr>\n",
               throttling ? "alarm" : "ok",
               throttling ? "on: memory is low, the core throttles video" : "off");
}

static uint64_t refusals(const Figure* outcomes) {
    uint64_t total = 0;
    for (int o = OUTCOME_ACCEPTED + 1; o < OUTCOMES; ++o) total += outcomes[o].value;
    return total;
}

static void writeServer(TextBuffer* out, const StatusPageInput* input, double seconds) {
    const Figure* server = input->latest->server;
    const Figure* before = input->previous != NULL ? input->previous->server : NULL;
    textAppendRaw(out, "<h2>Server</h2>\n<table>\n<tr><th class=\"name\">Queue</th>"
                       "<td class=\"name\">");
    writeCount(out, &server[SERVER_QUEUE_DEPTH]);
    textAppendRaw(out, " events waiting, at most ");
    writeCount(out, &server[SERVER_QUEUE_HIGH_WATER]);
    textAppendRaw(out, " so far</td></tr>\n<tr><th class=\"name\">Events</th><td class=\"name\">");
    writeCount(out, &server[SERVER_EVENTS_DISPATCHED]);
    textAppendRaw(out, " dispatched (");
    writeRate(out, rateOf(&server[SERVER_EVENTS_DISPATCHED],
                          before ? &before[SERVER_EVENTS_DISPATCHED] : NULL, seconds));
    textAppendRaw(out, "), ");
    writeCount(out, &server[SERVER_EVENTS_REFUSED]);
    textAppendRaw(out, " refused (");
    writeRate(out, rateOf(&server[SERVER_EVENTS_REFUSED],
                          before ? &before[SERVER_EVENTS_REFUSED] : NULL, seconds));
    textAppendRaw(out, "), ");
    writeCount(out, &server[SERVER_EVENTS_DISCARDED]);
    textAppendRaw(out, " discarded at stops</td></tr>\n"
                       "<tr><th class=\"name\">Payloads held</th><td class=\"name\">");
    writeBytes(out, &server[SERVER_PAYLOAD_BYTES_HELD]);
    textAppendRaw(out, "</td></tr>\n<tr><th class=\"name\">Notices sent</th><td class=\"name\">");
    writeCount(out, &server[SERVER_NOTICES_SENT]);
    textAppendRaw(out, "</td></tr>\n");
    writeMemoryRow(out, server);
    textAppend(out, "<tr><th class=\"name\">Unattributed messages</th><td class=\"name\">"
                    "%llu accepted, %llu refused</td></tr>\n</table>\n",
               (unsigned long long)input->latest->unattributed[OUTCOME_ACCEPTED].value,
               (unsigned long long)refusals(input->latest->unattributed));
}

static const char pluginHeader[] =
    "<h2>Plugins</h2>\n<table>\n<tr><th class=\"name\">Plugin</th><th>ID</th>"
    "<th>Events in<br><small>Write / IOCTL</small></th><th>Events/s</th><th>Bytes/s</th>"
    "<th>Write<br><small>p50 / p99</small></th><th>Write<br><small>longest</small></th>"
    "<th>IOCTL<br><small>p50 / p99</small></th><th>Read calls<br><small>running / started</small>"
    "</th><th>Read<br><small>p50 / p99</small></th><th>Holds</th><th>Sent</th><th>Sent/s</th>"
    "<th>Refused</th></tr>\n";

/* The rate of the sum of the plugin's counters `a` and `b`, per second;
 * negative when there is none. */
static double pluginRate(const PluginFigures* plugin, const PluginFigures* before, int a, int b,
                         double seconds) {
    if (before == NULL) return -1.0;
    const double first = rateOf(&plugin->figure[a], &before->figure[a], seconds);
    const double second = rateOf(&plugin->figure[b], &before->figure[b], seconds);
    return first < 0.0 || second < 0.0 ? -1.0 : first + second;
}

static void writePair(TextBuffer* out, void (*write)(TextBuffer*, const Figure*),
                      const Figure* first, const Figure* second) {
    textAppendRaw(out, "<td>");
    write(out, first);
    textAppendRaw(out, " / ");
    write(out, second);
    textAppendRaw(out, "</td>");
}

/* A call time of the entry point; a dash while no call has been timed,
 * when the document's figures are zeros that measured nothing. */
static Figure callTime(const CallFigures* call, int f) {
    const Figure* sampled = &call->figure[CALL_SAMPLED];
    const Figure none = {0, 0};
    return sampled->present && sampled->value == 0 ? none : call->figure[f];
}

static void writeLatencies(TextBuffer* out, const CallFigures* call) {
    const Figure p50 = callTime(call, CALL_P50_US), p99 = callTime(call, CALL_P99_US);
    writePair(out, writeMicroseconds, &p50, &p99);
}

static void writePluginRow(TextBuffer* out, const PluginFigures* plugin,
                           const PluginFigures* before, double seconds) {
    const Figure* figure = plugin->figure;
    textAppendRaw(out, "<tr><td class=\"name\">");
    writeEscaped(out, plugin->filename);
    textAppend(out, "</td><td>0x%08X</td>", (unsigned)plugin->id);
    writePair(out, writeCount, &figure[PLUGIN_WRITE_CALLS], &figure[PLUGIN_IOCTL_CALLS]);
    textAppendRaw(out, "<td>");
    writeRate(out, pluginRate(plugin, before, PLUGIN_WRITE_CALLS, PLUGIN_IOCTL_CALLS, seconds));
    textAppendRaw(out, "</td><td>");
    writeByteRate(out, pluginRate(plugin, before, PLUGIN_WRITE_BYTES, PLUGIN_IOCTL_BYTES, seconds));
    textAppendRaw(out, "</td>");
    writeLatencies(out, &plugin->calls[ENTRY_WRITE]);
    textAppendRaw(out, "<td>");
    const Figure longest = callTime(&plugin->calls[ENTRY_WRITE], CALL_MAX_US);
    writeMicroseconds(out, &longest);
    textAppendRaw(out, "</td>");
    writeLatencies(out, &plugin->calls[ENTRY_IOCTL]);
    writePair(out, writeCount, &figure[PLUGIN_READ_WORKERS_RUNNING],
              &figure[PLUGIN_READ_WORKERS_STARTED]);
    writeLatencies(out, &plugin->calls[ENTRY_READ]);
    textAppendRaw(out, "<td>");
    writeCount(out, &figure[PLUGIN_HOLDS]);
    textAppendRaw(out, " <small>(");
    writeBytes(out, &figure[PLUGIN_HELD_BYTES]);
    textAppendRaw(out, ")</small></td><td>");
    writeCount(out, &plugin->sent[OUTCOME_ACCEPTED]);
    textAppendRaw(out, "</td><td>");
    writeRate(out, rateOf(&plugin->sent[OUTCOME_ACCEPTED],
                          before != NULL ? &before->sent[OUTCOME_ACCEPTED] : NULL, seconds));
    textAppend(out, "</td><td>%llu</td></tr>\n", (unsigned long long)refusals(plugin->sent));
}

static void writePlugins(TextBuffer* out, const StatusPageInput* input, double seconds) {
    textAppendRaw(out, pluginHeader);
    const Statistics* latest = input->latest;
    for (size_t p = 0; p < latest->pluginCount; ++p) {
        const PluginFigures* plugin = &latest->plugins[p];
        const PluginFigures* before =
            input->previous != NULL ? statisticsFindPlugin(input->previous, plugin->filename)
                                    : NULL;
        writePluginRow(out, plugin, before, seconds);
    }
    textAppendRaw(out, "</table>\n<p class=\"when\">Latencies are read from one Write or IOCTL "
                       "call in 64 and from every Read call. ");
    if (seconds > 0.0) textAppend(out, "Rates over the last %.0f s.</p>\n", seconds);
    else textAppendRaw(out, "Rates show once two documents have come.</p>\n");
}

void statusPageWrite(TextBuffer* out, const StatusPageInput* input) {
    writeHead(out);
    if (input->latest == NULL) {
        textAppendRaw(out, "<p class=\"when\">No statistics yet: the core sends them every "
                           "10 seconds. This page reloads by itself.</p>\n</body></html>\n");
        return;
    }
    const double seconds = secondsBetween(input);
    writeWhen(out, input);
    writeServer(out, input, seconds);
    writePlugins(out, input, seconds);
    textAppendRaw(out, "</body></html>\n");
}
