/*
 * The core's statistics document, read into figures.
 *
 * Every figure of the document has a name here (an enum value) and a slot
 * that says whether the document carried it: the Prometheus text leaves
 * out what is absent (the heap, where the allocator cannot tell), the page
 * shows a dash. The attribute names are the document's; the tables that
 * map them are in statistics.c, so that an attribute added to the document
 * is one line there.
 *
 * A parsed document owns its plugin array; statisticsFree gives it back.
 * Nothing here is shared between threads: the HTTP thread parses its own
 * copies of the documents for each request.
 */
#ifndef METRICS_STATISTICS_H
#define METRICS_STATISTICS_H

#include <stddef.h>
#include <stdint.h>

typedef struct Figure {
    uint64_t value;
    int present;
} Figure;

/* The Statistics element's own attributes. */
enum DocumentFigure { DOCUMENT_TIME, DOCUMENT_UPTIME, DOCUMENT_INTERVAL, DOCUMENT_FIGURES };

/* The Server element. */
enum ServerFigure {
    SERVER_QUEUE_DEPTH,
    SERVER_QUEUE_HIGH_WATER,
    SERVER_EVENTS_DISPATCHED,
    SERVER_EVENTS_REFUSED,
    SERVER_EVENTS_DISCARDED,
    SERVER_PAYLOAD_BYTES_HELD,
    SERVER_NOTICES_SENT,
    SERVER_THROTTLING,
    SERVER_HEAP_BYTES,
    SERVER_HEAP_CEILING,
    SERVER_PLUGINS,
    SERVER_FIGURES
};

/* A Plugin element's own attributes. */
enum PluginFigure {
    PLUGIN_WRITE_CALLS,
    PLUGIN_WRITE_BYTES,
    PLUGIN_IOCTL_CALLS,
    PLUGIN_IOCTL_BYTES,
    PLUGIN_HOLDS,
    PLUGIN_HELD_BYTES,
    PLUGIN_READ_WORKERS_STARTED,
    PLUGIN_READ_WORKERS_RUNNING,
    PLUGIN_FIGURES
};

/* The entry points a Calls element times, by its Entry attribute. */
enum CallEntry { ENTRY_WRITE, ENTRY_IOCTL, ENTRY_READ, CALL_ENTRIES };

/* A Calls element's figures, without its Buckets. */
enum CallFigure {
    CALL_COUNT,
    CALL_SAMPLED,
    CALL_TOTAL_US,
    CALL_MAX_US,
    CALL_P50_US,
    CALL_P99_US,
    CALL_FIGURES
};

/* What the core answered to messages (Sent and Unattributed). */
enum Outcome {
    OUTCOME_ACCEPTED,
    OUTCOME_CANCELLED,
    OUTCOME_NO_SEQUENCE,
    OUTCOME_OVERRUN,
    OUTCOME_THROTTLED,
    OUTCOME_STOPPING,
    OUTCOME_NO_MEMORY,
    OUTCOMES
};

/* Bucket i holds the timed calls that took less than 2^i microseconds. */
#define CALL_BUCKETS 32

typedef struct CallFigures {
    int present; /* the plugin had a Calls element for this entry */
    Figure figure[CALL_FIGURES];
    int hasBuckets;
    uint64_t buckets[CALL_BUCKETS];
} CallFigures;

typedef struct PluginFigures {
    char filename[256];
    uint32_t id; /* the low 32 bits, as the document's signed decimal carries them */
    Figure figure[PLUGIN_FIGURES];
    CallFigures calls[CALL_ENTRIES];
    Figure sent[OUTCOMES];
} PluginFigures;

typedef struct Statistics {
    Figure document[DOCUMENT_FIGURES];
    Figure server[SERVER_FIGURES];
    PluginFigures* plugins; /* in the document's order */
    size_t pluginCount;
    Figure unattributed[OUTCOMES];
} Statistics;

/* The attribute names of the figures, by their enum values. */
extern const char* const statisticsServerAttributes[SERVER_FIGURES];
extern const char* const statisticsPluginAttributes[PLUGIN_FIGURES];
extern const char* const statisticsCallAttributes[CALL_FIGURES];
extern const char* const statisticsEntryNames[CALL_ENTRIES];
extern const char* const statisticsOutcomeAttributes[OUTCOMES];

/* Reads the terminated document `text` into `statistics`; 0 when it holds
 * no Statistics element or memory ran out (then nothing is left to free). */
int statisticsParse(const char* text, Statistics* statistics);
void statisticsFree(Statistics* statistics);

/* The plugin of `statistics` with the file name `filename`; NULL if none. */
const PluginFigures* statisticsFindPlugin(const Statistics* statistics, const char* filename);

#endif /* METRICS_STATISTICS_H */
