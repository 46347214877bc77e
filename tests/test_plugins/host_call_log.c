/* A plugin that tells a test, from outside the server process, which of its
 * life-cycle calls ran: each of Load, Open, Close and Unload appends one line
 * "<entry> <process ID>\n" to the file that the environment variable
 * TESSARD_HOST_CALL_LOG names. The variable belongs to this plugin alone;
 * without it the plugin records nothing.
 *
 * Each line is written with one write() to a descriptor opened for
 * appending, so a test that polls the file never sees half a line. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "tessard_plugin.h"

static void record(const char* entry) {
    const char* path = getenv("TESSARD_HOST_CALL_LOG");
    char line[64];
    int length;
    int file;
    if (path == NULL || *path == '\0') return;
    length = snprintf(line, sizeof line, "%s %ld\n", entry, (long)getpid());
    file = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (file < 0) return;
    if (write(file, line, (size_t)length) != length) {
        /* A short line fails the test that reads it; nothing to do here. */
    }
    close(file);
}

int32_t Load(const LoadContext* context, PluginInfo* info) {
    (void)context;
    info->id = 0x4057;
    record("Load");
    return 0;
}

int32_t Open(const OpenParams* params, OpenResult* result) {
    (void)params;
    (void)result;
    record("Open");
    return 0;
}

int32_t Close(const CloseParams* params, CoreStatus* status) {
    (void)params;
    (void)status;
    record("Close");
    return 0;
}

int32_t Unload(const UnloadParams* params, CoreStatus* status) {
    (void)params;
    (void)status;
    record("Unload");
    return 0;
}

/* Exported so that the core has no missing entry point to warn about; the
 * plugin asks for no IOCTL calls. */
int32_t IOCTL(const IoctlRequest* request, IoctlReply* reply) {
    (void)request;
    (void)reply;
    return 0;
}
