/*
 * What the example plugins exchange among themselves about video: the
 * message types, the description of a frame that rides in a message's
 * `extra` area, the playback request and its end, and the two forms an
 * H.264 access unit takes on its way (Annex-B in messages, length-prefixed
 * "AVC" inside Matroska files).
 *
 * A video frame is one H.264 access unit: one message whose payload is the
 * unit in Annex-B form (each NAL unit behind a 00 00 01 or 00 00 00 01 start
 * code). Key frames carry their SPS and PPS in front, so that every group of
 * pictures decodes on its own. The core carries the payload and `extra`
 * unchanged and reads neither; it reads only extra[CORE_MESSAGE_SEQUENCE_START],
 * which the frame description leaves alone (it starts at byte 32).
 *
 * Header only, plain C that C++ compiles too: the kit's harness tests read
 * the frame description and the playback records the examples exchange.
 */
#ifndef EXAMPLE_VIDEO_H
#define EXAMPLE_VIDEO_H

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "tessard_plugin.h"

/* ---- Message types -------------------------------------------------- */

/* A camera's access unit. Bit 24 set: sent with MSG_SELECT_0 it is a
 * sequenced record, checked against the sequence of its `source`. */
#define EXAMPLE_TYPE_VIDEO_FRAME UINT64_C(0x1000100)
/* A request to play a camera's recording back; sent as a read request. */
#define EXAMPLE_TYPE_PLAYBACK_REQUEST UINT64_C(0x1000300)
/* One access unit of a playback, and the message that ends a playback. */
#define EXAMPLE_TYPE_PLAYBACK_FRAME UINT64_C(0x1000400)
#define EXAMPLE_TYPE_PLAYBACK_END UINT64_C(0x1000401)

/* ---- The frame description in `extra` ------------------------------- */

#define EXAMPLE_VIDEO_MAGIC UINT32_C(0x45444956) /* "VIDE" */
/* Where the description starts in CoreMessage.extra and WriteRequest.extra:
 * past the sequenceStart byte (26), which belongs to the core. */
#define EXAMPLE_VIDEO_INFO_OFFSET 32

typedef struct ExampleVideoInfo {
    uint32_t magic;    /* EXAMPLE_VIDEO_MAGIC */
    uint32_t camera;   /* 1, 2, ...: the camera's number, which names its files */
    uint64_t number;   /* the camera's count of access units, dropped ones included */
    int64_t ptsNs;     /* presentation time in the camera's stream */
    int64_t dtsNs;     /* decoding time; ptsNs when the stream does not reorder */
    int64_t utcUs;     /* the presentation time on the wall clock, us since the epoch */
    uint32_t width;    /* the picture size */
    uint32_t height;
    uint32_t keyFrame; /* 1: decodes on its own (IDR, with SPS and PPS in front) */
    uint32_t reserved;
} ExampleVideoInfo;

typedef char exampleVideoInfoFits[EXAMPLE_VIDEO_INFO_OFFSET + sizeof(ExampleVideoInfo) <=
                                          sizeof(((CoreMessage*)0)->extra)
                                      ? 1
                                      : -1];

static inline void examplePutVideoInfo(uint8_t* extra, const ExampleVideoInfo* info) {
    memcpy(extra + EXAMPLE_VIDEO_INFO_OFFSET, info, sizeof(*info));
}

/* Copies the description out of `extra`; 0 when there is none. */
static inline int exampleGetVideoInfo(const uint8_t* extra, ExampleVideoInfo* info) {
    memcpy(info, extra + EXAMPLE_VIDEO_INFO_OFFSET, sizeof(*info));
    return info->magic == EXAMPLE_VIDEO_MAGIC && info->camera != 0;
}

/* ---- Playback ------------------------------------------------------- */

#define EXAMPLE_PLAYBACK_MAGIC UINT32_C(0x59414C50) /* "PLAY" */

/* The payload of a playback request: the access units of `camera` from the
 * first key frame at or after fromUtcUs to the last frame before toUtcUs. */
typedef struct ExamplePlaybackRequest {
    uint32_t magic;  /* EXAMPLE_PLAYBACK_MAGIC */
    uint32_t camera;
    int64_t fromUtcUs;
    int64_t toUtcUs;
} ExamplePlaybackRequest;

/* The payload of the message that ends a playback. */
typedef struct ExamplePlaybackEnd {
    uint32_t magic;      /* EXAMPLE_PLAYBACK_MAGIC */
    uint32_t camera;
    uint64_t framesSent; /* access units the recorder sent before this message */
    int32_t error;       /* 0, or an errno value: why the playback ended early */
    uint32_t reserved;
} ExamplePlaybackEnd;

/* ---- Access units --------------------------------------------------- */

#define EXAMPLE_NAL_SPS 7
#define EXAMPLE_NAL_PPS 8

/* Where the next start code (00 00 01) at or after `from` begins, or
 * `length` when there is none. memchr finds the candidates: it is the
 * fastest way over the bytes of a large unit. */
static inline size_t exampleFindStartCode(const uint8_t* data, size_t length, size_t from) {
    for (size_t at = from + 2; at < length;) {
        const uint8_t* one = (const uint8_t*)memchr(data + at, 1, length - at);
        if (one == NULL) return length;
        at = (size_t)(one - data);
        if (data[at - 1] == 0 && data[at - 2] == 0) return at - 2;
        ++at;
    }
    return length;
}

/* The next NAL unit of an Annex-B access unit at or after `*at`: 1 with
 * `*nal` and `*nalLength` set and `*at` moved past it, 0 when none is left. */
static inline int exampleNextNal(const uint8_t* data, size_t length, size_t* at,
                                 const uint8_t** nal, size_t* nalLength) {
    const size_t code = exampleFindStartCode(data, length, *at);
    if (code >= length) return 0;
    const size_t start = code + 3;
    size_t end = exampleFindStartCode(data, length, start);
    /* The zero in front of a four-byte start code belongs to the start
     * code, not to the unit before it. */
    if (end < length && end > start && data[end - 1] == 0) --end;
    *nal = data + start;
    *nalLength = end - start;
    *at = end;
    return 1;
}

/* Room enough for the AVC form of an Annex-B unit of `length` bytes: each
 * NAL's start code, of three bytes at least, becomes a length of four. */
static inline size_t exampleAvcBound(size_t length) { return length + length / 3 + 4; }

/* Writes the AVC form of an Annex-B unit into `out` (exampleAvcBound bytes)
 * in one pass; returns the bytes written. */
static inline size_t exampleAnnexBToAvc(const uint8_t* annexB, size_t length, uint8_t* out) {
    size_t at = 0, nalLength, written = 0;
    const uint8_t* nal;
    while (exampleNextNal(annexB, length, &at, &nal, &nalLength)) {
        out[written] = (uint8_t)(nalLength >> 24);
        out[written + 1] = (uint8_t)(nalLength >> 16);
        out[written + 2] = (uint8_t)(nalLength >> 8);
        out[written + 3] = (uint8_t)nalLength;
        memcpy(out + written + 4, nal, nalLength);
        written += 4 + nalLength;
    }
    return written;
}

/* Writes one NAL unit behind a four-byte start code at `out`; returns the
 * bytes written. */
static inline size_t examplePutNal(uint8_t* out, const uint8_t* nal, size_t nalLength) {
    static const uint8_t startCode[4] = {0, 0, 0, 1};
    memcpy(out, startCode, 4);
    memcpy(out + 4, nal, nalLength);
    return 4 + nalLength;
}

/* Writes the Annex-B form of an AVC unit into `out`, which has room for
 * `length` bytes (a four-byte start code replaces each four-byte length).
 * Returns the bytes written, or 0 when the unit is not well formed. */
static inline size_t exampleAvcToAnnexB(const uint8_t* avc, size_t length, uint8_t* out) {
    size_t at = 0;
    while (at + 4 <= length) {
        const size_t nalLength = ((size_t)avc[at] << 24) | ((size_t)avc[at + 1] << 16) |
                                 ((size_t)avc[at + 2] << 8) | avc[at + 3];
        if (nalLength > length - at - 4) return 0;
        at += examplePutNal(out + at, avc + at + 4, nalLength);
    }
    return at == length ? length : 0;
}

/* The SPS and PPS of a decoder configuration record ("avcC"), each behind
 * a four-byte start code: malloc'ed, their size in `*size`. NULL when the
 * record is malformed or its units' lengths are not four bytes long (the
 * only length exampleAvcToAnnexB reads). */
static inline uint8_t* exampleAvcParameterSets(const uint8_t* record, size_t length, size_t* size) {
    if (length < 7 || record[0] != 1 || (record[4] & 3) != 3) return NULL;
    uint8_t* sets = (uint8_t*)malloc(length * 2); /* each 2-byte length becomes 4 bytes */
    if (sets == NULL) return NULL;
    size_t at = 5, written = 0;
    int wellFormed = 1;
    for (int list = 0; list < 2 && wellFormed; ++list) { /* the SPS, then the PPS */
        const unsigned count = at < length ? record[at] & (list == 0 ? 0x1F : 0xFF) : 0;
        ++at;
        wellFormed = count > 0;
        for (unsigned i = 0; i < count && wellFormed; ++i) {
            const size_t nalLength = at + 2 <= length ? ((size_t)record[at] << 8) | record[at + 1] : 0;
            wellFormed = nalLength > 0 && nalLength <= length - at - 2;
            if (wellFormed) written += examplePutNal(sets + written, record + at + 2, nalLength);
            at += 2 + nalLength;
        }
    }
    if (!wellFormed) {
        free(sets);
        return NULL;
    }
    *size = written;
    return sets;
}

/* The first NAL unit of `type` in an Annex-B unit; NULL when there is none. */
static inline const uint8_t* exampleFindNal(const uint8_t* annexB, size_t length, int type,
                                            size_t* nalLength) {
    size_t at = 0;
    const uint8_t* nal;
    while (exampleNextNal(annexB, length, &at, &nal, nalLength)) {
        if (*nalLength > 0 && (nal[0] & 0x1F) == type) return nal;
    }
    return NULL;
}

/* The decoder configuration record ("avcC") a Matroska track of the stream
 * needs, built from the SPS and PPS in front of a key frame: malloc'ed, its
 * size in `*size`; NULL when the unit lacks either. */
static inline uint8_t* exampleAvcConfig(const uint8_t* keyFrame, size_t length, size_t* size) {
    size_t spsLength = 0, ppsLength = 0;
    const uint8_t* sps = exampleFindNal(keyFrame, length, EXAMPLE_NAL_SPS, &spsLength);
    const uint8_t* pps = exampleFindNal(keyFrame, length, EXAMPLE_NAL_PPS, &ppsLength);
    if (sps == NULL || pps == NULL || spsLength < 4 || spsLength > 0xFFFF || ppsLength > 0xFFFF) {
        return NULL;
    }
    *size = 11 + spsLength + ppsLength;
    uint8_t* record = (uint8_t*)malloc(*size); /* the cast lets C++ tests read this header */
    if (record == NULL) return NULL;
    /* Version 1, the SPS's profile, compatibility and level bytes, four-byte
     * lengths, then one SPS and one PPS, each behind its 16-bit length. */
    const uint8_t head[8] = {1, sps[1], sps[2], sps[3], 0xFF, 0xE1,
                             (uint8_t)(spsLength >> 8), (uint8_t)spsLength};
    memcpy(record, head, sizeof(head));
    memcpy(record + 8, sps, spsLength);
    uint8_t* after = record + 8 + spsLength;
    after[0] = 1;
    after[1] = (uint8_t)(ppsLength >> 8);
    after[2] = (uint8_t)ppsLength;
    memcpy(after + 3, pps, ppsLength);
    return record;
}

#endif /* EXAMPLE_VIDEO_H */
