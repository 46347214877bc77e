/*
 * The core's statistics in the Prometheus text exposition format (version
 * 0.0.4), as GET /metrics serves them.
 *
 * One metric family per figure of the document, each with its HELP and
 * TYPE lines; a plugin's figures carry its file name as the label
 * "plugin", call figures also the entry point as "entry", message counts
 * the core's answer as "outcome". Counters end in "_total"; times are in
 * seconds and sizes in bytes. The call times are Prometheus histograms
 * whose bounds are the document's buckets, 2^i microseconds.
 *
 * Called on the HTTP server's thread only.
 */
#ifndef METRICS_EXPOSITION_H
#define METRICS_EXPOSITION_H

#include <stdint.h>

#include "statistics.h"
#include "text_buffer.h"

/* The Content-Type of the text. */
#define EXPOSITION_CONTENT_TYPE "text/plain; version=0.0.4; charset=utf-8"

/* Appends the text for `statistics`, or for none (NULL) before the first
 * document has come; `documents` is how many the plugin has received. */
void expositionWrite(TextBuffer* out, const Statistics* statistics, uint64_t documents);

#endif /* METRICS_EXPOSITION_H */
