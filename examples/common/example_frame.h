/*
 * The records the example plugins exchange among themselves: video frames,
 * playback requests and the end of a playback. The core carries them as
 * opaque payloads; only the message types below are known to it, and only
 * through the subscription masks of the plugins.
 *
 * A frame is one payload: a 40-byte ExampleFrameHeader followed by
 * dataLength bytes of picture data. The recorder appends frames to its files
 * exactly as they arrive, so a recording is a plain sequence of such frames.
 *
 * Header only, plain C; the test suite reads recordings with it too.
 */
#ifndef EXAMPLE_FRAME_H
#define EXAMPLE_FRAME_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

/* ---- Message types -------------------------------------------------- */

/* A camera's frame. Bit 24 set: sent with MSG_SELECT_0 it is a sequenced
 * record, so the core checks it against the sender's sequence. */
#define EXAMPLE_TYPE_VIDEO_FRAME UINT64_C(0x1000100)
/* A request to play a recording back; sent as a read request (source 0). */
#define EXAMPLE_TYPE_PLAYBACK_REQUEST UINT64_C(0x1000300)
/* One frame of a playback, and the message that ends a playback. */
#define EXAMPLE_TYPE_PLAYBACK_FRAME UINT64_C(0x1000400)
#define EXAMPLE_TYPE_PLAYBACK_END UINT64_C(0x1000401)

/* The key a Write delivery is matched with: class bits (24-63) one place
 * up, kind bits (0-23) in place. */
#define EXAMPLE_DELIVERY_KEY(type) \
    ((((type) & UINT64_C(0xFFFFFFFFFF000000)) << 1) | ((type) & UINT64_C(0xFFFFFF)))
/* The key a read request is matched with: class bits one place down. */
#define EXAMPLE_READ_KEY(type) \
    ((((type) & UINT64_C(0xFFFFFFFFFF000000)) >> 1) | ((type) & UINT64_C(0xFFFFFF)))

/* ---- Frames --------------------------------------------------------- */

#define EXAMPLE_FRAME_MAGIC UINT32_C(0x4D415246) /* "FRAM" in file order */

typedef struct ExampleFrameHeader {
    uint32_t magic;         /* EXAMPLE_FRAME_MAGIC */
    uint32_t camera;        /* 1, 2, ... */
    uint64_t number;        /* 1, 2, ... per camera, from the server's start */
    uint64_t captureTimeUs; /* wall clock, microseconds since the epoch */
    uint32_t dataLength;    /* picture bytes after the header */
    uint32_t keyFrame;      /* 1: decodable on its own; a recording resumes on one */
    uint32_t checksum;      /* exampleChecksum of the picture bytes */
    uint32_t reserved;      /* 0 */
} ExampleFrameHeader;

/* FNV-1a, 32 bits: cheap, and enough to tell a damaged frame. */
static inline uint32_t exampleChecksum(const uint8_t* data, size_t length) {
    uint32_t hash = UINT32_C(2166136261);
    for (size_t i = 0; i < length; ++i) {
        hash ^= data[i];
        hash *= UINT32_C(16777619);
    }
    return hash;
}

/* Fills `frame` (`size` bytes, at least a header) with frame `number` of
 * `camera`: a header and a picture whose bytes depend on both numbers. */
static inline void exampleFillFrame(uint8_t* frame, size_t size, uint32_t camera,
                                    uint64_t number, int keyFrame, uint64_t captureTimeUs) {
    ExampleFrameHeader header;
    uint8_t* data = frame + sizeof(header);
    const size_t dataLength = size - sizeof(header);
    for (size_t i = 0; i < dataLength; ++i) {
        data[i] = (uint8_t)(number * 131u + camera * 17u + i * 7u);
    }
    memset(&header, 0, sizeof(header));
    header.magic = EXAMPLE_FRAME_MAGIC;
    header.camera = camera;
    header.number = number;
    header.captureTimeUs = captureTimeUs;
    header.dataLength = (uint32_t)dataLength;
    header.keyFrame = keyFrame ? 1u : 0u;
    header.checksum = exampleChecksum(data, dataLength);
    memcpy(frame, &header, sizeof(header));
}

/* Whether `length` bytes at `frame` are exactly one intact frame; its header
 * is copied to `header` when they are. */
static inline int exampleFrameIntact(const void* frame, size_t length,
                                     ExampleFrameHeader* header) {
    if (frame == NULL || length < sizeof(*header)) return 0;
    memcpy(header, frame, sizeof(*header));
    if (header->magic != EXAMPLE_FRAME_MAGIC) return 0;
    if (length != sizeof(*header) + (size_t)header->dataLength) return 0;
    return exampleChecksum((const uint8_t*)frame + sizeof(*header), header->dataLength) ==
           header->checksum;
}

/* ---- Playback ------------------------------------------------------- */

#define EXAMPLE_PLAYBACK_MAGIC UINT32_C(0x59414C50) /* "PLAY" */

/* The payload of a playback request. */
typedef struct ExamplePlaybackRequest {
    uint32_t magic;  /* EXAMPLE_PLAYBACK_MAGIC */
    uint32_t camera; /* whose recording to play */
} ExamplePlaybackRequest;

/* The payload of the message that ends a playback. */
typedef struct ExamplePlaybackEnd {
    uint32_t magic;      /* EXAMPLE_PLAYBACK_MAGIC */
    uint32_t camera;
    uint64_t framesSent; /* frames the recorder sent before this message */
    int32_t error;       /* 0, or an errno value: why the playback ended early */
    uint32_t reserved;
} ExamplePlaybackEnd;

#endif /* EXAMPLE_FRAME_H */
