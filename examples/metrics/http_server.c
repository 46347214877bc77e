/*
 * The HTTP server of the metrics example (http_server.h), on libmicrohttpd.
 *
 * libmicrohttpd runs one thread of its own (its internal polling thread)
 * that accepts connections and calls `answer` for each request; the render
 * function is called from there only. That thread reads `render` and
 * `owner`, which are set before it starts and never change, so they need
 * no lock; the rest of the record is the owner's. MHD_stop_daemon joins
 * the thread and closes the listening socket and every connection.
 *
 * Connections are few (a browser and a Prometheus server): at most 16 at a
 * time, each closed after 10 idle seconds, so that no client can hold the
 * thread's resources for long.
 */
#include "http_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

struct HttpServer {
    struct MHD_Daemon* daemon;
    HttpRender render;
    void* owner;
    unsigned port;
};

static enum MHD_Result sendText(struct MHD_Connection* connection, unsigned status,
                                const char* text) {
    struct MHD_Response* response =
        MHD_create_response_from_buffer(strlen(text), (void*)text, MHD_RESPMEM_PERSISTENT);
    if (response == NULL) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain; charset=utf-8");
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    }
    const enum MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

static enum MHD_Result sendBody(struct MHD_Connection* connection, HttpBody* body) {
    struct MHD_Response* response =
        MHD_create_response_from_buffer(body->length, body->text, MHD_RESPMEM_MUST_FREE);
    if (response == NULL) {
        free(body->text);
        return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, body->contentType);
    /* Every answer is of the moment: a reload must not show an old one. */
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    const enum MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return queued;
}

/* One request. GET and HEAD carry no body, so the answer goes out on the
 * first call; libmicrohttpd leaves the body out for HEAD. */
static enum MHD_Result answer(void* context, struct MHD_Connection* connection, const char* url,
                              const char* method, const char* version, const char* uploadData,
                              size_t* uploadSize, void** requestState) {
    (void)version;
    (void)uploadData;
    (void)uploadSize;
    (void)requestState;
    HttpServer* server = context;
    if (strcmp(method, MHD_HTTP_METHOD_GET) != 0 && strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
        return sendText(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET and HEAD\n");
    }
    HttpBody body = {NULL, 0, NULL};
    switch (server->render(server->owner, url, &body)) {
    case HTTP_RENDERED: return sendBody(connection, &body);
    case HTTP_UNKNOWN_PATH: return sendText(connection, MHD_HTTP_NOT_FOUND, "not found\n");
    default: return sendText(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, "out of memory\n");
    }
}

/* The socket address of `address` and `port`; 0 when `address` is no
 * numeric IPv4 or IPv6 address. */
static int socketAddress(const char* address, unsigned port, struct sockaddr_storage* out,
                         int* ipv6) {
    memset(out, 0, sizeof(*out));
    struct sockaddr_in* v4 = (struct sockaddr_in*)out;
    struct sockaddr_in6* v6 = (struct sockaddr_in6*)out;
    if (inet_pton(AF_INET, address, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons((uint16_t)port);
        *ipv6 = 0;
        return 1;
    }
    if (inet_pton(AF_INET6, address, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons((uint16_t)port);
        *ipv6 = 1;
        return 1;
    }
    return 0;
}

HttpServer* httpServerStart(const char* address, unsigned port, HttpRender render, void* owner,
                            char* error, size_t errorSize) {
    struct sockaddr_storage socket;
    int ipv6 = 0;
    if (!socketAddress(address, port, &socket, &ipv6)) {
        snprintf(error, errorSize, "not a numeric IPv4 or IPv6 address");
        return NULL;
    }
    HttpServer* server = calloc(1, sizeof(*server));
    if (server == NULL) {
        snprintf(error, errorSize, "out of memory");
        return NULL;
    }
    server->render = render;
    server->owner = owner;
    /* libmicrohttpd leaves errno as the failed bind or listen set it. */
    errno = 0;
    server->daemon = MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL | (ipv6 ? MHD_USE_IPv6 : 0), (uint16_t)port,
        NULL, NULL, answer, server, MHD_OPTION_SOCK_ADDR, (struct sockaddr*)&socket,
        MHD_OPTION_CONNECTION_LIMIT, 16u, MHD_OPTION_CONNECTION_TIMEOUT, 10u, MHD_OPTION_END);
    if (server->daemon == NULL) {
        snprintf(error, errorSize, "%s", errno != 0 ? strerror(errno) : "libmicrohttpd failed");
        free(server);
        return NULL;
    }
    const union MHD_DaemonInfo* info = MHD_get_daemon_info(server->daemon,
                                                           MHD_DAEMON_INFO_BIND_PORT);
    server->port = info != NULL ? info->port : port;
    return server;
}

unsigned httpServerPort(const HttpServer* server) { return server->port; }

void httpServerStop(HttpServer* server) {
    if (server == NULL) return;
    MHD_stop_daemon(server->daemon);
    free(server);
}
