/*
 * The status page GET / serves: one self-contained HTML document (its
 * style inline, no script, nothing fetched from elsewhere) that reloads
 * itself every few seconds.
 *
 * It shows the server (queue depth and high-water mark, events dispatched
 * and refused with their rates, payloads held, the heap against its
 * ceiling, throttling) and a table of the plugins (events and bytes
 * handed to each, with rates, call latencies p50 and p99, read workers,
 * holds, messages sent and refused). Rates are the differences between
 * the two latest documents over the time between them.
 *
 * Called on the HTTP server's thread only.
 */
#ifndef METRICS_STATUS_PAGE_H
#define METRICS_STATUS_PAGE_H

#include <stdint.h>

#include "statistics.h"
#include "text_buffer.h"

#define STATUS_PAGE_CONTENT_TYPE "text/html; charset=utf-8"
/* Seconds between two reloads of the page. */
#define STATUS_PAGE_REFRESH 5

typedef struct StatusPageInput {
    const Statistics* latest;   /* NULL before the first document */
    const Statistics* previous; /* NULL before the second */
    uint64_t documents;         /* received so far */
    int64_t latestAge;          /* seconds since the latest arrived */
} StatusPageInput;

void statusPageWrite(TextBuffer* out, const StatusPageInput* input);

#endif /* METRICS_STATUS_PAGE_H */
