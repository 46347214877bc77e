/*
 * What the hardening tests' bus plugins and the stress test share: how a
 * plugin takes its kind from its file name (and its id, test_plugin.h), the
 * record every stress producer sends and how its payload is laid out, the
 * marker that tells a reader's answers apart, and how to send. Plain C on
 * the SDK header and the C library only; a file that includes it defines
 * _GNU_SOURCE first, for dladdr.
 */
#ifndef HARD_BUS_H
#define HARD_BUS_H

#include "test_plugin.h"

/* ---- The stress producers' records --------------------------------------- */

/* Producer i sends with source HARD_PRODUCER_BASE + i. */
#define HARD_PRODUCER_BASE UINT64_C(0x5000)
#define HARD_MAX_PRODUCERS 16

/* The three streams a producer sends on. Sequenced records select entry 0
 * and pass the sequence table; plain records select entry 1; broadcasts
 * reach every plugin through IOCTL code 2, whatever its masks. */
#define HARD_STREAM_SEQUENCED 0
#define HARD_STREAM_PLAIN 1
#define HARD_STREAM_BROADCAST 2
#define HARD_STREAMS 3

#define HARD_SEQUENCED_FLAGS MSG_SELECT_0
#define HARD_SEQUENCED_TYPE (MSG_TYPE_SEQUENCED | UINT64_C(0x51))
#define HARD_PLAIN_FLAGS MSG_SELECT_1
#define HARD_PLAIN_TYPE UINT64_C(0x52)
#define HARD_BROADCAST_FLAGS MSG_TO_OTHERS
#define HARD_BROADCAST_TYPE UINT64_C(0x53)

/* The kinds of sink, told apart by their file names: a name holding
 * "_plain" takes only plain records, one holding "_seq" only sequenced
 * records, any other everything. Broadcasts reach every kind. */
#define HARD_KIND_ALL 0
#define HARD_KIND_PLAIN 1
#define HARD_KIND_SEQUENCED 2
#define HARD_KINDS 3

static inline int hardKindOfFile(void) {
    const char* name = testPluginFileName();
    if (strstr(name, "_plain") != NULL) return HARD_KIND_PLAIN;
    if (strstr(name, "_seq") != NULL) return HARD_KIND_SEQUENCED;
    return HARD_KIND_ALL;
}

/* Whether a sink of `kind` takes records of `stream`. */
static inline int hardKindTakes(int kind, int stream) {
    if (stream == HARD_STREAM_BROADCAST) return 1;
    if (kind == HARD_KIND_PLAIN) return stream == HARD_STREAM_PLAIN;
    if (kind == HARD_KIND_SEQUENCED) return stream == HARD_STREAM_SEQUENCED;
    return 1;
}

#define HARD_RECORD_MARK "HARDRECD"
#define HARD_RECORD_MARK_SIZE 8

/* The start of every producer's payload. `serial` counts the producer's
 * sends from 1, accepted or not. `previous[k]` is the serial of the
 * producer's last record that the router accepted and that a sink of kind k
 * takes, 0 for none: so each record names the one a sink must have seen
 * from the same producer just before it, and a lost, repeated, reordered or
 * wrongly accepted record breaks that chain where the sink can see it. */
typedef struct HardRecord {
    char mark[HARD_RECORD_MARK_SIZE];
    uint32_t producer;
    uint32_t stream;
    uint64_t serial;
    uint64_t previous[HARD_KINDS];
} HardRecord;

/* The bytes after the record: byte i of the payload, for i past the record,
 * is hardFill(serial, i), so that a sink sees a payload copy that was cut,
 * mixed up or overwritten. */
static inline unsigned char hardFill(uint64_t serial, uint32_t index) {
    return (unsigned char)(serial * 31u + index);
}

/* ---- The readers' answers ----------------------------------------------- */

/* The bytes at the start of `extra` in every answer a reader sends. No
 * other sender of the tests writes them there. */
#define HARD_ANSWER_MARK "HARDREAD"
#define HARD_ANSWER_MARK_SIZE 8
#define HARD_ANSWER_FLAGS MSG_SELECT_3
#define HARD_ANSWER_TYPE UINT64_C(0x33)
/* How many answers a reader sends for every Read. */
#define HARD_ANSWERS 3
/* A read handle with this bit is never cancelled by the stress test, so a
 * refusal of an answer for it means a fault, until the Core stops. */
#define HARD_LIVE_HANDLE (UINT64_C(1) << 62)

/* Byte i of a read request's payload for `handle`; a reader's answers carry
 * the request's payload back. */
static inline unsigned char hardRequestByte(uint64_t handle, uint32_t index) {
    return (unsigned char)(handle + index);
}

static inline int hardIsAnswer(const unsigned char* extra) {
    return memcmp(extra, HARD_ANSWER_MARK, HARD_ANSWER_MARK_SIZE) == 0;
}


#endif /* HARD_BUS_H */
