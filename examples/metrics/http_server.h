/*
 * The metrics example's HTTP server: libmicrohttpd with one thread of its
 * own that accepts connections and answers requests, GET and HEAD only.
 *
 * What each path answers is the owner's: the server asks its render
 * function for the body of a path, on the server's thread, and sends what
 * it gets (404 for a path the function does not know, 500 when it had no
 * memory). httpServerStop stops the thread and closes every connection
 * before it returns; after it, the render function is not called any
 * more.
 */
#ifndef METRICS_HTTP_SERVER_H
#define METRICS_HTTP_SERVER_H

#include <stddef.h>

typedef struct HttpBody {
    char* text; /* malloc'd; the server frees it */
    size_t length;
    const char* contentType; /* a string that outlives the server */
} HttpBody;

enum HttpRendered { HTTP_RENDERED, HTTP_UNKNOWN_PATH, HTTP_NO_MEMORY };

typedef enum HttpRendered (*HttpRender)(void* owner, const char* path, HttpBody* body);

typedef struct HttpServer HttpServer;

/* Starts serving on `address` (a numeric IPv4 or IPv6 address) and `port`
 * (0: any free port). NULL when it could not, with the reason in `error`. */
HttpServer* httpServerStart(const char* address, unsigned port, HttpRender render, void* owner,
                            char* error, size_t errorSize);

/* The port it listens on: the one asked for, or the one the system chose. */
unsigned httpServerPort(const HttpServer* server);

/* Stops serving and frees the server; safe with NULL. */
void httpServerStop(HttpServer* server);

#endif /* METRICS_HTTP_SERVER_H */
