/* A library the end-to-end tests preload into a server built with
 * ThreadSanitizer. That sanitizer runs a signal's handler only when the
 * thread that got the signal next enters a function it intercepts, and it
 * does not intercept select(); poll() it does, as a blocking call during
 * which handlers run at once. The server's main thread waits in select() for
 * its signal queue's pipe, which only the handler writes, so without this
 * library a signal would never stop a sanitized server.
 *
 * select() is answered by poll() on the same descriptors: readable, writable
 * and exceptional become POLLIN, POLLOUT and POLLPRI, and an end of file or
 * an error counts as readable, as select() reports them. */
#include <errno.h>
#include <poll.h>
#include <stddef.h>
#include <sys/select.h>

static short eventsOf(int fd, fd_set* readable, fd_set* writable, fd_set* exceptional) {
    short events = 0;
    if (readable != NULL && FD_ISSET(fd, readable)) events |= POLLIN;
    if (writable != NULL && FD_ISSET(fd, writable)) events |= POLLOUT;
    if (exceptional != NULL && FD_ISSET(fd, exceptional)) events |= POLLPRI;
    return events;
}

static int report(fd_set* set, int fd, int happened) {
    if (set == NULL || !happened) return 0;
    FD_SET(fd, set);
    return 1;
}

int select(int count, fd_set* readable, fd_set* writable, fd_set* exceptional,
           struct timeval* timeout) {
    struct pollfd watched[FD_SETSIZE];
    nfds_t used = 0;
    int fd;
    int result;
    int ready = 0;
    nfds_t i;
    for (fd = 0; fd < count && fd < FD_SETSIZE; ++fd) {
        const short events = eventsOf(fd, readable, writable, exceptional);
        if (events == 0) continue;
        watched[used].fd = fd;
        watched[used].events = events;
        watched[used].revents = 0;
        ++used;
    }
    result = poll(watched, used,
                  timeout == NULL ? -1 : (int)(timeout->tv_sec * 1000 + timeout->tv_usec / 1000));
    if (result < 0) return result;
    if (readable != NULL) FD_ZERO(readable);
    if (writable != NULL) FD_ZERO(writable);
    if (exceptional != NULL) FD_ZERO(exceptional);
    for (i = 0; i < used; ++i) {
        const short got = watched[i].revents;
        if (got & POLLNVAL) {
            errno = EBADF;
            return -1;
        }
        ready += report(readable, watched[i].fd,
                        (watched[i].events & POLLIN) && (got & (POLLIN | POLLHUP | POLLERR)));
        ready += report(writable, watched[i].fd, (watched[i].events & POLLOUT) && (got & (POLLOUT | POLLERR)));
        ready += report(exceptional, watched[i].fd, (watched[i].events & POLLPRI) && (got & POLLPRI));
    }
    return ready;
}
