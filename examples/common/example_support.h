/*
 * Small helpers the example plugins share: their settings files, their
 * console lines, and a stop signal their threads can wait on.
 *
 * Settings. A plugin reads the file named like its library with ".conf" in
 * place of ".so", in the same directory (plugins/recorder.conf for
 * plugins/recorder.so). Lines are "name = value"; blank lines and lines
 * starting with '#' are skipped. The file is optional: every setting has a
 * default. The core knows nothing of these files.
 *
 * Console lines. Each line is written with one call and flushed at once, so
 * that the lines of several plugin threads do not interleave and reach a
 * pipe without delay.
 *
 * Times and places: wall-clock times in the form file names carry, making
 * directories, absolute paths for console lines.
 *
 * Header only, plain C (static inline functions), so that each plugin carries its
 * own copy and needs nothing but libc and the SDK header.
 */
#ifndef EXAMPLE_SUPPORT_H
#define EXAMPLE_SUPPORT_H

/* dladdr, flockfile and the monotonic clock need the GNU and POSIX names,
 * which must be asked for before the first system header. */
#ifndef _GNU_SOURCE
#error "define _GNU_SOURCE before the first #include"
#endif

#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

/* ---- Console lines -------------------------------------------------- */

static inline void examplePrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

static inline void examplePrint(const char* format, ...) {
    char line[1024];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(line, sizeof(line), format, arguments);
    va_end(arguments);
    flockfile(stdout);
    fputs(line, stdout);
    fputc('\n', stdout);
    fflush(stdout);
    funlockfile(stdout);
}

/* ---- Settings ------------------------------------------------------- */

/* Opens the settings file of the library that holds `anchor` (any function
 * of the plugin); NULL when there is none. The path is remembered in `path`
 * for messages. */
static inline FILE* exampleOpenSettings(void (*anchor)(void), char* path, size_t pathSize) {
    Dl_info library;
    path[0] = '\0';
    if (dladdr((void*)anchor, &library) == 0 || library.dli_fname == NULL) return NULL;
    const size_t length = strlen(library.dli_fname);
    if (length < 3 || strcmp(library.dli_fname + length - 3, ".so") != 0) return NULL;
    if (length - 3 + sizeof(".conf") > pathSize) return NULL;
    memcpy(path, library.dli_fname, length - 3);
    strcpy(path + length - 3, ".conf");
    return fopen(path, "r");
}

static inline char* exampleTrim(char* text) {
    while (*text == ' ' || *text == '\t') ++text;
    char* end = text + strlen(text);
    while (end > text && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\n' ||
                          end[-1] == '\r')) {
        --end;
    }
    *end = '\0';
    return text;
}

/* Reads the next "name = value" line into `line`; 0 at the end of the
 * file. `name` and `value` point into `line`. A line without '=' is
 * reported and skipped. */
static inline int exampleNextSetting(FILE* file, const char* path, char* line, int lineSize,
                              char** name, char** value) {
    while (fgets(line, lineSize, file) != NULL) {
        char* text = exampleTrim(line);
        if (*text == '\0' || *text == '#') continue;
        char* equals = strchr(text, '=');
        if (equals == NULL) {
            examplePrint("%s: ignored line without '=': %s", path, text);
            continue;
        }
        *equals = '\0';
        *name = exampleTrim(text);
        *value = exampleTrim(equals + 1);
        return 1;
    }
    return 0;
}

/* Parses a whole decimal number within [minimum, maximum] into `result`;
 * reports and keeps the default otherwise. */
static inline void exampleNumberSetting(const char* path, const char* name, const char* value,
                                 long minimum, long maximum, long* result) {
    char* end = NULL;
    errno = 0;
    const long number = strtol(value, &end, 10);
    if (errno != 0 || end == value || *end != '\0' || number < minimum || number > maximum) {
        examplePrint("%s: %s must be a whole number from %ld to %ld; keeping %ld", path, name,
                     minimum, maximum, *result);
        return;
    }
    *result = number;
}

/* ---- Stop signal ---------------------------------------------------- */

/* A flag with a condition variable on the monotonic clock: a thread sleeps
 * until a deadline or until the plugin is closed, whichever comes first. */
typedef struct ExampleStopper {
    pthread_mutex_t lock;
    pthread_cond_t changed;
    int stopped; /* guarded by lock */
} ExampleStopper;

static inline int exampleStopperInit(ExampleStopper* stopper) {
    pthread_condattr_t attributes;
    int error = pthread_condattr_init(&attributes);
    if (error != 0) return error;
    error = pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    if (error == 0) error = pthread_cond_init(&stopper->changed, &attributes);
    pthread_condattr_destroy(&attributes);
    if (error != 0) return error;
    error = pthread_mutex_init(&stopper->lock, NULL);
    if (error != 0) pthread_cond_destroy(&stopper->changed);
    stopper->stopped = 0;
    return error;
}

static inline void exampleStopperDestroy(ExampleStopper* stopper) {
    pthread_cond_destroy(&stopper->changed);
    pthread_mutex_destroy(&stopper->lock);
}

static inline void exampleStop(ExampleStopper* stopper) {
    pthread_mutex_lock(&stopper->lock);
    stopper->stopped = 1;
    pthread_cond_broadcast(&stopper->changed);
    pthread_mutex_unlock(&stopper->lock);
}

/* Sleeps until the monotonic time `deadline`; 1 when it passed, 0 when the
 * stopper was stopped first. */
static inline int exampleSleepUntil(ExampleStopper* stopper, const struct timespec* deadline) {
    pthread_mutex_lock(&stopper->lock);
    while (!stopper->stopped &&
           pthread_cond_timedwait(&stopper->changed, &stopper->lock, deadline) != ETIMEDOUT) {
    }
    const int running = !stopper->stopped;
    pthread_mutex_unlock(&stopper->lock);
    return running;
}

/* Whether the stopper was stopped; for loops that wait elsewhere. */
static inline int exampleStopped(ExampleStopper* stopper) {
    pthread_mutex_lock(&stopper->lock);
    const int stopped = stopper->stopped;
    pthread_mutex_unlock(&stopper->lock);
    return stopped;
}

/* Sleeps `seconds`, or less when the stopper is stopped; 1 when it slept. */
static inline int exampleSleepFor(ExampleStopper* stopper, long seconds) {
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += seconds;
    return exampleSleepUntil(stopper, &deadline);
}

/* `time` moved on by `nanoseconds`. */
static inline void exampleAdvance(struct timespec* time, uint64_t nanoseconds) {
    const uint64_t total = (uint64_t)time->tv_nsec + nanoseconds;
    time->tv_sec += (time_t)(total / 1000000000u);
    time->tv_nsec = (long)(total % 1000000000u);
}

static inline uint64_t exampleWallClockUs(void) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return (uint64_t)now.tv_sec * 1000000u + (uint64_t)now.tv_nsec / 1000u;
}

/* ---- Times and places ----------------------------------------------- */

/* `utcUs` (us since the epoch) as "20240501T120000.123Z", the form file
 * names carry; it sorts as the times do. */
static inline void exampleUtcName(int64_t utcUs, char* out, size_t outSize) {
    const time_t seconds = (time_t)(utcUs / 1000000);
    struct tm utc;
    gmtime_r(&seconds, &utc);
    char whole[16];
    if (strftime(whole, sizeof(whole), "%Y%m%dT%H%M%S", &utc) == 0) whole[0] = '\0';
    snprintf(out, outSize, "%.15s.%03uZ", whole, (unsigned)(utcUs / 1000 % 1000));
}

/* Reads the form exampleUtcName writes at the start of `text`; 0 when it is
 * not there. */
static inline int exampleParseUtcName(const char* text, int64_t* utcUs) {
    struct tm utc;
    int milliseconds = 0, used = 0;
    memset(&utc, 0, sizeof(utc));
    if (sscanf(text, "%4d%2d%2dT%2d%2d%2d.%3dZ%n", &utc.tm_year, &utc.tm_mon, &utc.tm_mday,
               &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &milliseconds, &used) != 7 ||
        used != 20) {
        return 0;
    }
    utc.tm_year -= 1900;
    utc.tm_mon -= 1;
    *utcUs = (int64_t)timegm(&utc) * 1000000 + (int64_t)milliseconds * 1000;
    return 1;
}

/* Like mkdir -p: every missing directory of `path` is made. 0 or errno. */
static inline int exampleMakeDirectories(const char* path) {
    char partial[PATH_MAX];
    snprintf(partial, sizeof(partial), "%s", path);
    for (char* slash = strchr(partial + 1, '/');; slash = strchr(slash + 1, '/')) {
        if (slash != NULL) *slash = '\0';
        if (mkdir(partial, 0755) != 0 && errno != EEXIST) return errno;
        if (slash == NULL) return 0;
        *slash = '/';
    }
}

/* `path` made absolute for console lines; `path` itself when it cannot be. */
static inline const char* exampleAbsolute(const char* path, char* out) {
    return realpath(path, out) != NULL ? out : path;
}

#endif /* EXAMPLE_SUPPORT_H */
