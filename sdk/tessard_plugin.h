/*
 * tessard plugin interface: the one header a plugin is built against.
 *
 * A plugin is a shared object in the "plugins" directory beside the server
 * executable. It exports up to eight plain C functions, "Load", "Unload",
 * "Open", "Close", "Read", "Write", "Seek" and "IOCTL"; only "Load" is
 * required. Each takes a request record and a result record and returns a
 * signed 32-bit integer. The plugin talks back to the core through the
 * CoreCallback it receives in Load.
 *
 * Every record begins with a RecordHeader. Whoever writes a record zero-fills
 * it first, then sets size and version and the fields it uses. The layouts are
 * fixed for x86-64 Linux (LP64, little-endian); the checks at the end of this
 * file refuse to compile anywhere they would differ.
 *
 * Ownership, in one sentence per crossing:
 *  - Records passed to an entry point belong to the core and live only for
 *    the duration of that call; keep nothing that points into them. A
 *    request record is read-only: every receiver of one event is handed
 *    the same one.
 *  - A CoreMessage and CoreStatus passed to the callback belong to the
 *    sender; the core copies the payload before the callback returns, so the
 *    sender may reuse or free its buffer at once.
 *  - A payload delivered by Write or IOCTL is shared by every receiver and is
 *    read-only; it lives until the call returns, or, when the reply sets
 *    retain, until the plugin gives it back with a MSG_RELEASE message.
 *  - A ReadRequest payload belongs to the worker that runs Read and lives
 *    until Read returns.
 *
 * Plain C99; usable from C and C++.
 */
#ifndef TESSARD_PLUGIN_H
#define TESSARD_PLUGIN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Identities ------------------------------------------------------- */

/* The core's own sender and holder ID. Printed as -2147483648 in the core's
 * XML documents. A plugin never uses it as its id. */
#define CORE_ID UINT64_C(0x80000000)

/* ---- Message flags (CoreMessage.flags) -------------------------------- */

/* Selection bits: each selects one entry of the receivers' eventMasks. */
#define MSG_SELECT_0 UINT64_C(0x1) /* entry 0; with type bit 0x1000000: a sequenced record */
#define MSG_SELECT_1 UINT64_C(0x2)
#define MSG_SELECT_2 UINT64_C(0x4)
#define MSG_SELECT_3 UINT64_C(0x8)
#define MSG_SELECT_4 UINT64_C(0x10)
#define MSG_SELECT_5 UINT64_C(0x20)
#define MSG_SELECT_6 UINT64_C(0x40)
#define MSG_SELECT_7 UINT64_C(0x80)
#define MSG_SELECT_8 UINT64_C(0x400) /* entry 8 */
/* IOCTL code 2 to every loaded plugin except the sender. */
#define MSG_TO_OTHERS UINT64_C(0x100)
/* As the whole flags word: give back the hold on the buffer at payload. */
#define MSG_RELEASE UINT64_C(0x200)
/* IOCTL code 3 to every loaded plugin MSG_TO_OTHERS does not serve. */
#define MSG_TO_ALL UINT64_C(0x800)
/* As the whole flags word, with source 0: cancel the read handle. */
#define MSG_CANCEL UINT64_C(0x1000)

/* ---- Message types (CoreMessage.type) --------------------------------- */

/* Bits 0-23 are kind bits, bits 24-63 class bits. With MSG_SELECT_0, bit
 * 24 makes a record sequenced. */
#define MSG_TYPE_SEQUENCED UINT64_C(0x1000000)
/* One line of plain text, not terminated. */
#define MSG_TYPE_TEXT UINT64_C(0x1000002)
/* One XML document with the root element "Zelt", on one line, not terminated. */
#define MSG_TYPE_XML UINT64_C(0x1000010)
/* The core's statistics: an XML document like MSG_TYPE_XML whose root holds
 * one "Statistics" element, sent every 10 seconds with MSG_SELECT_7 (see
 * the plugin guide for its layout). A plugin takes it by Write with entry 7
 * of its masks covering tessardDeliveryKey(MSG_TYPE_STATISTICS); the key
 * holds a bit no other notice of the core's has, so a plugin that takes the
 * other notices receives it only if it asks for it. */
#define MSG_TYPE_STATISTICS UINT64_C(0x1000020)

/* ---- Routing results (CoreStatus.code) -------------------------------- */

#define STATUS_OK 0          /* queued, or handled at once */
#define STATUS_CANCELLED 1   /* the handle is cancelled, or this thread may not send for it */
#define STATUS_NO_SEQUENCE 3 /* sequenced record without an open sequence */
#define STATUS_OVERRUN 4     /* 766 records followed the opening one; sequence closed */
#define STATUS_THROTTLED 5   /* memory is low; sequence closed */
#define STATUS_STOPPING 6    /* the core is stopping: nothing it accepted now would be delivered */
#define STATUS_NO_MEMORY (-1) /* no room for the payload copy: it is larger than
                              * CORE_MAX_PAYLOAD, the event queue holds as many
                              * payload bytes as it may, or the heap is out */

/* The largest payload the core copies: 64 MiB, more than any video frame.
 * A message or read request whose length is larger is refused with
 * STATUS_NO_MEMORY before anything is allocated. */
#define CORE_MAX_PAYLOAD UINT32_C(0x4000000)

/* The most Read workers that run for one plugin at a time. A read request
 * that reaches a plugin with this many Read calls running starts no worker
 * for it; the request is still answered STATUS_OK. */
#define CORE_MAX_READERS 64

/* ---- IOCTL request codes (IoctlRequest.code) -------------------------- */

#define IOCTL_ON_LOAD 1   /* once, on a worker, right after Load when ioctlOnLoad is set */
#define IOCTL_TO_OTHERS 2 /* an event flagged MSG_TO_OTHERS */
#define IOCTL_TO_ALL 3    /* an event flagged MSG_TO_ALL */

/* ---- Subscription keys ------------------------------------------------ */

/* A message's type is folded into a key before it is matched against a
 * subscription mask, and events and read requests fold it in opposite
 * directions: the kind bits (0-23) stay in place, the class bits (24-63)
 * move one place up for events (delivered by Write) and one place down for
 * read requests. A mask entry covers a key when every bit of the key is set
 * in it. */

/* The key of an event of `type`, as Write delivery matches it. */
static inline uint64_t tessardDeliveryKey(uint64_t type) {
    return ((type & UINT64_C(0xFFFFFFFFFF000000)) << 1) | (type & UINT64_C(0xFFFFFF));
}

/* The key of a read request of `type`, as the start of Read workers matches it. */
static inline uint64_t tessardReadKey(uint64_t type) {
    return ((type & UINT64_C(0xFFFFFFFFFF000000)) >> 1) | (type & UINT64_C(0xFFFFFF));
}

/* Nonzero when `mask` holds every bit of `key`. */
static inline int tessardMaskCovers(uint64_t mask, uint64_t key) { return (key & mask) == key; }

/* Nonzero when the mask entry takes events of `type` by Write. */
static inline int tessardTakesEvent(uint64_t mask, uint64_t type) {
    return tessardMaskCovers(mask, tessardDeliveryKey(type));
}

/* Nonzero when the mask entry takes read requests of `type`. */
static inline int tessardTakesRead(uint64_t mask, uint64_t type) {
    return tessardMaskCovers(mask, tessardReadKey(type));
}

/* ---- Records ---------------------------------------------------------- */

/* The leading pair of every record. */
typedef struct RecordHeader {
    uint32_t size;
    uint32_t version;
} RecordHeader;

/* The index in CoreMessage.extra of sequenceStart (byte 82 of the record),
 * the only byte of extra the core reads: 1 opens or reopens the sender's
 * sequence of records. */
#define CORE_MESSAGE_SEQUENCE_START 26

/* The unit every sender hands to the core. size 224, version 1. */
typedef struct CoreMessage {
    uint32_t size;
    uint32_t version;
    uint32_t length;   /* payload bytes; below 0x80000000 */
    uint32_t reserved0;
    const void* payload; /* length bytes, or NULL; in a release, the buffer given back */
    uint64_t source;   /* the sender's id; 0 for a read request or a cancel */
    uint64_t handle;   /* read handle the message belongs to; 0 = none */
    uint64_t flags;    /* MSG_* */
    uint64_t type;     /* MSG_TYPE_* or the plugins' own */
    uint8_t extra[168]; /* the sender's own area, carried unchanged */
} CoreMessage;

/* The core's answer to one message. size 12, version 1. Also the result
 * record of Close and Unload. */
typedef struct CoreStatus {
    uint32_t size;
    uint32_t version;
    int32_t code; /* STATUS_*; set it to 0 before the call */
} CoreStatus;

/* The callback a plugin receives in Load; callable from any thread of the
 * plugin, at any time until its Unload returns. The result is always 0; the
 * outcome is in status->code. */
typedef int32_t (*CoreCallback)(const CoreMessage* message, CoreStatus* status);

/* First argument of Load. size 24, version 3. */
typedef struct LoadContext {
    uint32_t size;
    uint32_t version;
    void* coreHandle;      /* opaque */
    CoreCallback callback; /* copy it: the context dies when Load returns */
} LoadContext;

/* Second argument of Load, filled in by the plugin. size 112, version 1 on
 * entry; the rest is zero. */
typedef struct PluginInfo {
    uint32_t size;
    uint32_t version;
    uint64_t id;            /* unique among the loaded plugins */
    uint64_t eventMasks[9]; /* entry i for MSG_SELECT_i; entry 5 is also the close order key */
    uint64_t reserved0;
    uint8_t ioctlOnLoad;    /* nonzero: IOCTL code 1 once, on a worker, after Load */
    uint8_t reserved1;
    uint8_t readPolling;    /* nonzero: Read workers are started for this plugin, at
                             * most CORE_MAX_READERS at a time */
    uint8_t writeEvents;    /* nonzero: matching events arrive through Write */
    uint32_t reserved2;
    int32_t loadError;      /* nonzero rejects the plugin */
    uint32_t reserved3;
} PluginInfo;

/* Open: in size 24, out size 16; version 1. The out record's free bytes are
 * the plugin's own. */
typedef struct OpenParams {
    uint32_t size;
    uint32_t version;
    uint8_t reserved[16];
} OpenParams;

typedef struct OpenResult {
    uint32_t size;
    uint32_t version;
    uint8_t pluginArea[8];
} OpenResult;

/* Close: in size 12, version 1, code 0; out a CoreStatus. */
typedef struct CloseParams {
    uint32_t size;
    uint32_t version;
    uint32_t code;
} CloseParams;

/* Unload: in a bare header, size 8, version 1; out a CoreStatus. */
typedef RecordHeader UnloadParams;

/* Read, called on a worker thread of its own. In size 40, out size 32. */
typedef struct ReadRequest {
    uint32_t size;
    uint32_t version;
    uint32_t reserved0;
    uint8_t onWorker; /* 1 */
    uint8_t reserved1[3];
    uint32_t length;  /* request payload bytes */
    uint32_t reserved2;
    const void* payload; /* the worker's copy of the request payload, or NULL */
    uint64_t handle;  /* answers carry it in CoreMessage.handle; 0 = none */
} ReadRequest;

typedef struct ReadReply {
    uint32_t size;
    uint32_t version;
    uint8_t reserved[24];
} ReadReply;

/* Write, called on the event handler thread. In size 232, out size 32.
 * From offset 16 on the request is the event's own bytes 8 to 223. */
typedef struct WriteRequest {
    uint32_t size;
    uint32_t version;
    uint32_t reserved0;
    uint8_t onWorker; /* 0 */
    uint8_t padding0[3];
    uint32_t length;
    uint32_t padding1;
    const void* payload; /* the shared, read-only buffer, or NULL */
    uint64_t source;
    uint64_t handle;
    uint64_t flags;
    uint64_t type;       /* as sent, not folded */
    uint8_t extra[168];
} WriteRequest;

typedef struct WriteReply {
    uint32_t size;
    uint32_t version;
    uint8_t reserved[20];
    uint32_t retain; /* set nonzero to keep the payload after the call */
} WriteReply;

/* The payload of an event delivered through IOCTL. size 24, version 1. For
 * IOCTL_ON_LOAD it is an empty record: size 8, version 1, the rest zero. */
typedef struct PayloadRef {
    uint32_t size;
    uint32_t version;
    uint32_t length;
    uint32_t reserved;
    const void* payload;
} PayloadRef;

/* IOCTL. In size 40, out size 28; version 1. */
typedef struct IoctlRequest {
    uint32_t size;
    uint32_t version;
    uint32_t code; /* IOCTL_* */
    uint32_t reserved;
    PayloadRef payloadRef;
} IoctlRequest;

typedef struct IoctlReply {
    uint32_t size;
    uint32_t version;
    uint32_t code;   /* the request's code */
    uint32_t reserved;
    uint32_t retain; /* set nonzero to keep the payload after the call */
    RecordHeader empty; /* size 8, version 1 */
} IoctlReply;

/* ---- Entry points ----------------------------------------------------- */

/* The shape of every entry point, as the core calls it. */
typedef int32_t (*PluginEntryPoint)(const void* request, void* reply);

/* The prototypes a plugin defines. Return values: Load 0 = accepted; Open is
 * recorded; the others are ignored. */
int32_t Load(const LoadContext* context, PluginInfo* info);
int32_t Unload(const UnloadParams* params, CoreStatus* status);
int32_t Open(const OpenParams* params, OpenResult* result);
int32_t Close(const CloseParams* params, CoreStatus* status);
int32_t Read(const ReadRequest* request, ReadReply* reply);
int32_t Write(const WriteRequest* request, WriteReply* reply);
int32_t Seek(const void* request, void* reply); /* resolved, never called */
int32_t IOCTL(const IoctlRequest* request, IoctlReply* reply);

/* ---- Layout checks ---------------------------------------------------- */

#if defined(__cplusplus)
#define TESSARD_LAYOUT(name, condition) static_assert(condition, #name)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define TESSARD_LAYOUT(name, condition) _Static_assert(condition, #name)
#else
#define TESSARD_LAYOUT(name, condition) \
    typedef char tessard_layout_##name[(condition) ? 1 : -1]
#endif

TESSARD_LAYOUT(pointer, sizeof(void*) == 8);

TESSARD_LAYOUT(RecordHeader_size, sizeof(RecordHeader) == 8);
TESSARD_LAYOUT(RecordHeader_version, offsetof(RecordHeader, version) == 4);

TESSARD_LAYOUT(CoreMessage_size, sizeof(CoreMessage) == 224);
TESSARD_LAYOUT(CoreMessage_version, offsetof(CoreMessage, version) == 4);
TESSARD_LAYOUT(CoreMessage_length, offsetof(CoreMessage, length) == 8);
TESSARD_LAYOUT(CoreMessage_payload, offsetof(CoreMessage, payload) == 16);
TESSARD_LAYOUT(CoreMessage_source, offsetof(CoreMessage, source) == 24);
TESSARD_LAYOUT(CoreMessage_handle, offsetof(CoreMessage, handle) == 32);
TESSARD_LAYOUT(CoreMessage_flags, offsetof(CoreMessage, flags) == 40);
TESSARD_LAYOUT(CoreMessage_type, offsetof(CoreMessage, type) == 48);
TESSARD_LAYOUT(CoreMessage_extra, offsetof(CoreMessage, extra) == 56);
TESSARD_LAYOUT(CoreMessage_sequenceStart,
               offsetof(CoreMessage, extra) + CORE_MESSAGE_SEQUENCE_START == 82);

TESSARD_LAYOUT(CoreStatus_size, sizeof(CoreStatus) == 12);
TESSARD_LAYOUT(CoreStatus_code, offsetof(CoreStatus, code) == 8);

TESSARD_LAYOUT(LoadContext_size, sizeof(LoadContext) == 24);
TESSARD_LAYOUT(LoadContext_coreHandle, offsetof(LoadContext, coreHandle) == 8);
TESSARD_LAYOUT(LoadContext_callback, offsetof(LoadContext, callback) == 16);

TESSARD_LAYOUT(PluginInfo_size, sizeof(PluginInfo) == 112);
TESSARD_LAYOUT(PluginInfo_id, offsetof(PluginInfo, id) == 8);
TESSARD_LAYOUT(PluginInfo_eventMasks, offsetof(PluginInfo, eventMasks) == 16);
TESSARD_LAYOUT(PluginInfo_closeKey, offsetof(PluginInfo, eventMasks) + 5 * 8 == 56);
TESSARD_LAYOUT(PluginInfo_reserved0, offsetof(PluginInfo, reserved0) == 88);
TESSARD_LAYOUT(PluginInfo_ioctlOnLoad, offsetof(PluginInfo, ioctlOnLoad) == 96);
TESSARD_LAYOUT(PluginInfo_readPolling, offsetof(PluginInfo, readPolling) == 98);
TESSARD_LAYOUT(PluginInfo_writeEvents, offsetof(PluginInfo, writeEvents) == 99);
TESSARD_LAYOUT(PluginInfo_loadError, offsetof(PluginInfo, loadError) == 104);

TESSARD_LAYOUT(OpenParams_size, sizeof(OpenParams) == 24);
TESSARD_LAYOUT(OpenResult_size, sizeof(OpenResult) == 16);
TESSARD_LAYOUT(CloseParams_size, sizeof(CloseParams) == 12);
TESSARD_LAYOUT(CloseParams_code, offsetof(CloseParams, code) == 8);
TESSARD_LAYOUT(UnloadParams_size, sizeof(UnloadParams) == 8);

TESSARD_LAYOUT(ReadRequest_size, sizeof(ReadRequest) == 40);
TESSARD_LAYOUT(ReadRequest_onWorker, offsetof(ReadRequest, onWorker) == 12);
TESSARD_LAYOUT(ReadRequest_length, offsetof(ReadRequest, length) == 16);
TESSARD_LAYOUT(ReadRequest_payload, offsetof(ReadRequest, payload) == 24);
TESSARD_LAYOUT(ReadRequest_handle, offsetof(ReadRequest, handle) == 32);
TESSARD_LAYOUT(ReadReply_size, sizeof(ReadReply) == 32);

TESSARD_LAYOUT(WriteRequest_size, sizeof(WriteRequest) == 232);
TESSARD_LAYOUT(WriteRequest_onWorker, offsetof(WriteRequest, onWorker) == 12);
TESSARD_LAYOUT(WriteRequest_length, offsetof(WriteRequest, length) == 16);
TESSARD_LAYOUT(WriteRequest_payload, offsetof(WriteRequest, payload) == 24);
TESSARD_LAYOUT(WriteRequest_source, offsetof(WriteRequest, source) == 32);
TESSARD_LAYOUT(WriteRequest_handle, offsetof(WriteRequest, handle) == 40);
TESSARD_LAYOUT(WriteRequest_flags, offsetof(WriteRequest, flags) == 48);
TESSARD_LAYOUT(WriteRequest_type, offsetof(WriteRequest, type) == 56);
TESSARD_LAYOUT(WriteRequest_extra, offsetof(WriteRequest, extra) == 64);
TESSARD_LAYOUT(WriteReply_size, sizeof(WriteReply) == 32);
TESSARD_LAYOUT(WriteReply_retain, offsetof(WriteReply, retain) == 28);

TESSARD_LAYOUT(PayloadRef_size, sizeof(PayloadRef) == 24);
TESSARD_LAYOUT(PayloadRef_length, offsetof(PayloadRef, length) == 8);
TESSARD_LAYOUT(PayloadRef_payload, offsetof(PayloadRef, payload) == 16);
TESSARD_LAYOUT(IoctlRequest_size, sizeof(IoctlRequest) == 40);
TESSARD_LAYOUT(IoctlRequest_code, offsetof(IoctlRequest, code) == 8);
TESSARD_LAYOUT(IoctlRequest_payloadRef, offsetof(IoctlRequest, payloadRef) == 16);
TESSARD_LAYOUT(IoctlReply_size, sizeof(IoctlReply) == 28);
TESSARD_LAYOUT(IoctlReply_code, offsetof(IoctlReply, code) == 8);
TESSARD_LAYOUT(IoctlReply_retain, offsetof(IoctlReply, retain) == 16);
TESSARD_LAYOUT(IoctlReply_empty, offsetof(IoctlReply, empty) == 20);

/* The width of a field, where neither its offset nor the record's size
 * fixes it. */
#define TESSARD_WIDTH(record, field) sizeof(((record*)0)->field)

TESSARD_LAYOUT(CoreMessage_reserved0, offsetof(CoreMessage, reserved0) == 12);
TESSARD_LAYOUT(CoreMessage_length_width, TESSARD_WIDTH(CoreMessage, length) == 4);
TESSARD_LAYOUT(CoreMessage_extra_width, TESSARD_WIDTH(CoreMessage, extra) == 168);
TESSARD_LAYOUT(CoreStatus_code_width, TESSARD_WIDTH(CoreStatus, code) == 4);
TESSARD_LAYOUT(PluginInfo_eventMasks_width, TESSARD_WIDTH(PluginInfo, eventMasks) == 72);
TESSARD_LAYOUT(PluginInfo_reserved1, offsetof(PluginInfo, reserved1) == 97);
TESSARD_LAYOUT(PluginInfo_reserved2, offsetof(PluginInfo, reserved2) == 100);
TESSARD_LAYOUT(PluginInfo_reserved3, offsetof(PluginInfo, reserved3) == 108);
TESSARD_LAYOUT(OpenParams_reserved, offsetof(OpenParams, reserved) == 8);
TESSARD_LAYOUT(OpenResult_pluginArea, offsetof(OpenResult, pluginArea) == 8);
TESSARD_LAYOUT(ReadRequest_reserved1, offsetof(ReadRequest, reserved1) == 13);
TESSARD_LAYOUT(ReadRequest_reserved2, offsetof(ReadRequest, reserved2) == 20);
TESSARD_LAYOUT(ReadReply_reserved, offsetof(ReadReply, reserved) == 8);
TESSARD_LAYOUT(WriteRequest_padding1, offsetof(WriteRequest, padding1) == 20);
TESSARD_LAYOUT(WriteReply_reserved, offsetof(WriteReply, reserved) == 8);
TESSARD_LAYOUT(PayloadRef_reserved, offsetof(PayloadRef, reserved) == 12);
TESSARD_LAYOUT(IoctlRequest_reserved, offsetof(IoctlRequest, reserved) == 12);
TESSARD_LAYOUT(IoctlReply_reserved, offsetof(IoctlReply, reserved) == 12);
/* From byte 16 on, a WriteRequest is the event's bytes 8 to 223. */
TESSARD_LAYOUT(WriteRequest_carries_event,
               offsetof(WriteRequest, length) - offsetof(CoreMessage, length) == 8 &&
                   offsetof(WriteRequest, extra) - offsetof(CoreMessage, extra) == 8);

/* The constants are part of the boundary as much as the records: plugins
 * built against another copy of this header must agree on every value. */
TESSARD_LAYOUT(flags_are_64_bits, sizeof(MSG_SELECT_0) == 8 && sizeof(MSG_CANCEL) == 8);
TESSARD_LAYOUT(select_bits, MSG_SELECT_0 == 0x1 && MSG_SELECT_1 == 0x2 && MSG_SELECT_2 == 0x4 &&
                                MSG_SELECT_3 == 0x8 && MSG_SELECT_4 == 0x10 &&
                                MSG_SELECT_5 == 0x20 && MSG_SELECT_6 == 0x40 &&
                                MSG_SELECT_7 == 0x80 && MSG_SELECT_8 == 0x400);
TESSARD_LAYOUT(other_flag_bits, MSG_TO_OTHERS == 0x100 && MSG_RELEASE == 0x200 &&
                                    MSG_TO_ALL == 0x800 && MSG_CANCEL == 0x1000);
TESSARD_LAYOUT(types, MSG_TYPE_SEQUENCED == 0x1000000 && MSG_TYPE_TEXT == 0x1000002 &&
                          MSG_TYPE_XML == 0x1000010 && MSG_TYPE_STATISTICS == 0x1000020);
TESSARD_LAYOUT(core_id, CORE_ID == 0x80000000 && sizeof(CORE_ID) == 8);
TESSARD_LAYOUT(status_codes, STATUS_OK == 0 && STATUS_CANCELLED == 1 && STATUS_NO_SEQUENCE == 3 &&
                                 STATUS_OVERRUN == 4 && STATUS_THROTTLED == 5 &&
                                 STATUS_STOPPING == 6 && STATUS_NO_MEMORY == -1);
TESSARD_LAYOUT(ioctl_codes, IOCTL_ON_LOAD == 1 && IOCTL_TO_OTHERS == 2 && IOCTL_TO_ALL == 3);

#undef TESSARD_WIDTH
#undef TESSARD_LAYOUT

#ifdef __cplusplus
}
#endif

#endif /* TESSARD_PLUGIN_H */
