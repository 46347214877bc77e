/*
 * What the hardening tests' bus plugins share: their ids, the marker that
 * tells a reader's answers apart, and how to send. Plain C on the SDK header
 * and the C library only.
 */
#ifndef HARD_BUS_H
#define HARD_BUS_H

#include <string.h>

#include "tessard_plugin.h"

#define HARD_SINK_ID UINT64_C(0x4853494E4B)   /* hard_sink.c */
#define HARD_READER_ID UINT64_C(0x4852454144) /* hard_reader.c */

/* The bytes at the start of `extra` in every answer the reader sends. No
 * other sender of the tests writes them there. */
#define HARD_ANSWER_MARK "HARDREAD"
#define HARD_ANSWER_MARK_SIZE 8
#define HARD_ANSWER_FLAGS MSG_SELECT_3
#define HARD_ANSWER_TYPE UINT64_C(0x33)
/* How many answers the reader sends for every Read. */
#define HARD_ANSWERS 2

static inline int hardIsAnswer(const unsigned char* extra) {
    return memcmp(extra, HARD_ANSWER_MARK, HARD_ANSWER_MARK_SIZE) == 0;
}

/* Hands `message` to the core; returns the status code. */
static inline int32_t hardSend(CoreCallback callback, const CoreMessage* message) {
    CoreStatus status;
    status.size = sizeof status;
    status.version = 1;
    status.code = 0;
    callback(message, &status);
    return status.code;
}

#endif /* HARD_BUS_H */
