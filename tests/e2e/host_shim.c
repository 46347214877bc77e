/* A library the end-to-end tests preload into the server (LD_PRELOAD) to see
 * what no file of the server shows: the records it hands to the system logger
 * (there is no syslog daemon on the test machines) and the forks it makes.
 *
 * It takes the place of openlog, syslog, vsyslog, closelog and their
 * fortified forms, and wraps fork. Each call appends one line, fields
 * separated by tabs, to the file that TESSARD_TEST_SHIM_LOG names:
 *
 *   open  <pid> <ident> <option> <facility>
 *   log   <pid> <priority> <format> <formatted text>
 *   close <pid>
 *   fork  <pid> <child pid>         (in the parent, after a successful fork)
 *
 * Tabs and line ends inside texts become blanks. Each line goes out in one
 * write() to a descriptor opened for appending, so lines of several threads
 * or processes never mix. Nothing reaches the real system logger.
 *
 * It also wraps connect: a Unix socket connected to "/dev/log" (which the
 * test machines lack) is connected instead to the socket that
 * TESSARD_TEST_DEV_LOG names, when that variable is set, so that a test can
 * receive what the server sends the system logger without the C library's
 * syslog, as its crash report does. */
#define _GNU_SOURCE
#undef _FORTIFY_SOURCE

#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

enum { kLineSize = 8192, kTextSize = 4096 };

static void appendLine(const char* line, size_t length) {
    const char* path = getenv("TESSARD_TEST_SHIM_LOG");
    int file;
    if (path == NULL || *path == '\0') return;
    file = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (file < 0) return;
    if (write(file, line, length) != (ssize_t)length) {
        /* A torn line fails the test that reads it; nothing to do here. */
    }
    close(file);
}

/* Copies `text` into `out` with tabs and line ends turned into blanks. */
static void flatten(char* out, size_t size, const char* text) {
    size_t i = 0;
    for (; text != NULL && text[i] != '\0' && i + 1 < size; ++i) {
        out[i] = text[i] == '\t' || text[i] == '\n' ? ' ' : text[i];
    }
    out[i] = '\0';
}

static void recordf(const char* format, ...) {
    char line[kLineSize];
    va_list arguments;
    int length;
    va_start(arguments, format);
    length = vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    if (length < 0) return;
    if ((size_t)length >= sizeof line) length = sizeof line - 1;
    line[length - 1] = '\n';
    appendLine(line, (size_t)length);
}

static void recordLog(int priority, const char* format, va_list arguments) {
    char raw[kTextSize];
    char text[kTextSize];
    char shownFormat[kTextSize];
    vsnprintf(raw, sizeof raw, format, arguments);
    flatten(text, sizeof text, raw);
    flatten(shownFormat, sizeof shownFormat, format);
    recordf("log\t%ld\t%d\t%s\t%s\n", (long)getpid(), priority, shownFormat, text);
}

void openlog(const char* ident, int option, int facility) {
    char shownIdent[kTextSize];
    flatten(shownIdent, sizeof shownIdent, ident);
    recordf("open\t%ld\t%s\t%d\t%d\n", (long)getpid(), shownIdent, option, facility);
}

void closelog(void) { recordf("close\t%ld\n", (long)getpid()); }

void vsyslog(int priority, const char* format, va_list arguments) {
    recordLog(priority, format, arguments);
}

void __vsyslog_chk(int priority, int flag, const char* format, va_list arguments) {
    (void)flag;
    recordLog(priority, format, arguments);
}

void syslog(int priority, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    recordLog(priority, format, arguments);
    va_end(arguments);
}

void __syslog_chk(int priority, int flag, const char* format, ...) {
    va_list arguments;
    (void)flag;
    va_start(arguments, format);
    recordLog(priority, format, arguments);
    va_end(arguments);
}

pid_t fork(void) {
    pid_t (*realFork)(void) = (pid_t(*)(void))dlsym(RTLD_NEXT, "fork");
    const pid_t parent = getpid();
    const pid_t child = realFork();
    if (child > 0) recordf("fork\t%ld\t%ld\n", (long)parent, (long)child);
    return child;
}

int connect(int socket, const struct sockaddr* address, socklen_t length) {
    int (*realConnect)(int, const struct sockaddr*, socklen_t) =
        (int (*)(int, const struct sockaddr*, socklen_t))dlsym(RTLD_NEXT, "connect");
    const char* redirect = getenv("TESSARD_TEST_DEV_LOG");
    const struct sockaddr_un* named = (const struct sockaddr_un*)address;
    struct sockaddr_un moved;
    if (redirect == NULL || *redirect == '\0' || address == NULL || address->sa_family != AF_UNIX ||
        length < offsetof(struct sockaddr_un, sun_path) + sizeof "/dev/log" ||
        memcmp(named->sun_path, "/dev/log", sizeof "/dev/log") != 0 ||
        strlen(redirect) >= sizeof moved.sun_path) {
        return realConnect(socket, address, length);
    }
    memset(&moved, 0, sizeof moved);
    moved.sun_family = AF_UNIX;
    strcpy(moved.sun_path, redirect);
    return realConnect(socket, (const struct sockaddr*)&moved, sizeof moved);
}
