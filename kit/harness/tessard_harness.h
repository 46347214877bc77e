/*
 * tessard harness: plugins hosted inside a test, on the core's own code.
 *
 * A harness is a small server of its own in a temporary directory: the
 * core's real loader, router, event queue, fan-out, Read and IOCTL workers,
 * housekeeping and stop sequence, with three differences that make a test
 * deterministic and strict:
 *  - No event handler thread: events stay queued until the test calls
 *    tessardHarnessRunUntilIdle, which hands them out on the test's thread
 *    exactly as the event handler would.
 *  - The housekeeping reads a clock and a heap figure the test sets
 *    (tessardHarnessAdvanceClock, tessardHarnessSetHeap).
 *  - Every call into a plugin and every message a plugin sends is recorded,
 *    and contract breaches are recorded as they happen: a call of the
 *    callback after Unload, payloads still retained after Close, threads
 *    that still run the plugin's code after Unload, a message under a read
 *    handle sent from a thread that is not a Read worker, and a payload read
 *    past its length or after it was freed (each payload copy ends at a
 *    page the plugin may not read).
 *
 * One harness lives in a process at a time (plugins receive one plain
 * callback); make the next one after tessardHarnessDestroy. While it lives
 * the process's working directory is the harness's directory, as the
 * server's is its own. Create, start, stop and destroy it on one thread;
 * the queries may be called from any thread. Text and records a query
 * returns belong to the harness and stay valid until it is destroyed.
 *
 * Build a test against it with `pkg-config --cflags --libs tessard-harness`.
 * Plain C99; usable from C and C++.
 */
#ifndef TESSARD_HARNESS_H
#define TESSARD_HARNESS_H

#include <stddef.h>
#include <stdint.h>

#include "tessard_plugin.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TessardHarness TessardHarness;

/* ---- Life cycle -------------------------------------------------------- */

/* A harness with an empty plugins directory, or NULL when another harness
 * lives or the directory cannot be made. */
TessardHarness* tessardHarnessCreate(void);

/* The harness's server directory: the working directory while the harness
 * lives. Plugins are copied into its "plugins" directory, where a plugin
 * finds its settings file beside itself. */
const char* tessardHarnessDirectory(const TessardHarness* harness);

/* Copies the plugin library at `path` (relative paths from the working
 * directory the harness found) into the plugins directory, under its own
 * file name. Before tessardHarnessStart only. 0, or -1 when it cannot be
 * copied. */
int tessardHarnessAddPlugin(TessardHarness* harness, const char* path);

/* Loads and opens every plugin as the core does at start (the first 32 in
 * table order are recorded and checked), then starts the housekeeping and
 * waits for its first pass (start-up Reads, the memory setting and state).
 * Events sent meanwhile stay queued. The number of plugins in the table, or
 * -1 when the harness has started before. */
int tessardHarnessStart(TessardHarness* harness);

/* Hands out what is queued until nothing is queued and no core worker runs
 * in any plugin; events that plugins send meanwhile are handed out too.
 * 1 when that state was reached within `timeoutMs`, else 0. */
int tessardHarnessRunUntilIdle(TessardHarness* harness, unsigned timeoutMs);

/* Hands out events until `condition(context)` is nonzero (1) or
 * `timeoutMs` has passed (0); for what plugins do on threads of their own. */
int tessardHarnessWaitFor(TessardHarness* harness, int (*condition)(void* context),
                          void* context, unsigned timeoutMs);

/* Hands out what is still queued, then stops as the core does: the
 * housekeeping ends, new messages are refused with STATUS_STOPPING, every
 * plugin's Close is called in close order and then every Unload, and the
 * libraries are closed. Checks the contract after Close and after Unload.
 * The number of breaches recorded so far. Called by tessardHarnessDestroy
 * when the test has not. */
size_t tessardHarnessStop(TessardHarness* harness);

/* Stops, removes the directory and frees everything. A library whose code
 * may still run stays mapped. */
void tessardHarnessDestroy(TessardHarness* harness);

/* ---- Sending, as a plugin or as the core ------------------------------ */

/* Routes `message` as the core routes what a plugin sends: its `source`
 * says who sends it (a plugin's id, any other id, CORE_ID for one of the
 * core's notices, 0 for a read request or a cancel). The status code. */
int32_t tessardHarnessSend(TessardHarness* harness, const CoreMessage* message);

/* One of the core's text notices (MSG_SELECT_6, MSG_TYPE_TEXT, from
 * CORE_ID), as the core sends a clock jump. The status code. */
int32_t tessardHarnessSendTextNotice(TessardHarness* harness, const char* text);

/* A read request from the test, under `handle` (not 0): Read workers start
 * for the plugins whose mask selected by `flags` takes `type`. What the
 * readers send under the handle is collected as the replies. */
int32_t tessardHarnessRead(TessardHarness* harness, uint64_t handle, uint64_t flags,
                           uint64_t type, const void* payload, uint32_t length);

/* Cancels the handle, as a requester does. */
int32_t tessardHarnessCancel(TessardHarness* harness, uint64_t handle);

/* ---- Housekeeping ----------------------------------------------------- */

/* Moves the housekeeping's wall clock by `seconds` and returns once a
 * housekeeping pass has seen it: a move of more than one second is announced
 * as a clock jump, and each new second takes one heap reading. */
void tessardHarnessAdvanceClock(TessardHarness* harness, int64_t seconds);

/* The heap figure the next reading finds. Above the ceiling it starts
 * throttling (once the clock has moved a second); the ceiling is the one
 * the core computes for this machine. */
void tessardHarnessSetHeap(TessardHarness* harness, uint64_t bytes);
uint64_t tessardHarnessHeapCeiling(const TessardHarness* harness);
int tessardHarnessThrottling(const TessardHarness* harness);

/* ---- What happened ---------------------------------------------------- */

typedef enum TessardHarnessEntry {
    TESSARD_HARNESS_WRITE = 1,
    TESSARD_HARNESS_IOCTL = 2,
    TESSARD_HARNESS_READ = 3
} TessardHarnessEntry;

/* One call the core made into a plugin to hand it something. */
typedef struct TessardHarnessReceived {
    TessardHarnessEntry entry;
    uint32_t code;       /* IOCTL: the request's code; 0 otherwise */
    uint32_t length;     /* payload bytes */
    const void* payload; /* the harness's copy of them, or NULL */
    uint64_t source;     /* Write: as sent; 0 otherwise */
    uint64_t handle;     /* Write and Read: as sent; 0 otherwise */
    uint64_t flags;      /* Write: as sent; 0 otherwise */
    uint64_t type;       /* Write: as sent; 0 otherwise */
    int retained;        /* the reply asked to keep the payload */
} TessardHarnessReceived;

/* One message a plugin (or a thread of its) handed to the callback. */
typedef struct TessardHarnessSent {
    CoreMessage message; /* as sent; payload points to the harness's copy (in a
                          * release: the address given back, not to be read) */
    int32_t status;      /* what the core answered */
    int fromReader;      /* sent from a Read worker's thread */
} TessardHarnessSent;

/* The plugins in table order, from tessardHarnessStart on. */
size_t tessardHarnessPluginCount(const TessardHarness* harness);
uint64_t tessardHarnessPluginId(const TessardHarness* harness, size_t index);
const char* tessardHarnessPluginFile(const TessardHarness* harness, size_t index);
/* What Open returned: "OpenCode" in "plugins.xml". */
int32_t tessardHarnessOpenCode(const TessardHarness* harness, size_t index);

/* What the plugin with `id` received, in order. */
size_t tessardHarnessReceivedCount(const TessardHarness* harness, uint64_t id);
const TessardHarnessReceived* tessardHarnessReceivedAt(const TessardHarness* harness,
                                                       uint64_t id, size_t index);

/* What the plugin with `id` sent, in order: messages whose source is its id
 * (or holds its id in the lower 32 bits), and read requests and cancels
 * sent from its code. */
size_t tessardHarnessSentCount(const TessardHarness* harness, uint64_t id);
const TessardHarnessSent* tessardHarnessSentAt(const TessardHarness* harness, uint64_t id,
                                               size_t index);

/* What came back under a read handle of the test's. */
size_t tessardHarnessReplyCount(const TessardHarness* harness, uint64_t handle);
const TessardHarnessSent* tessardHarnessReplyAt(const TessardHarness* harness, uint64_t handle,
                                                size_t index);

/* The lines the core logged (warnings about plugins among them). */
size_t tessardHarnessLogCount(const TessardHarness* harness);
const char* tessardHarnessLogLine(const TessardHarness* harness, size_t index);

/* ---- Contract breaches ------------------------------------------------ */

typedef enum TessardHarnessBreachKind {
    TESSARD_BREACH_CALLBACK_AFTER_UNLOAD = 1,
    TESSARD_BREACH_RETAINED_AFTER_CLOSE = 2,
    TESSARD_BREACH_THREAD_AFTER_UNLOAD = 3,
    TESSARD_BREACH_HANDLE_OFF_READER = 4,
    TESSARD_BREACH_READ_PAST_LENGTH = 5,
    TESSARD_BREACH_READ_AFTER_FREE = 6
} TessardHarnessBreachKind;

/* Breaches recorded so far; a test fails when there is any. */
size_t tessardHarnessBreachCount(const TessardHarness* harness);
TessardHarnessBreachKind tessardHarnessBreachKindAt(const TessardHarness* harness, size_t index);
/* The breach in a sentence that names the plugin file. */
const char* tessardHarnessBreachText(const TessardHarness* harness, size_t index);

#ifdef __cplusplus
}
#endif

#endif /* TESSARD_HARNESS_H */
