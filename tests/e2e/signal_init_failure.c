/* A library the end-to-end tests preload, after the host shim, into a server
 * that must find its signal queue impossible to register. It takes the place
 * of libdaemon's daemon_signal_init, which then fails as it does when no
 * descriptor is left for its pipe. No descriptor limit can make the real one
 * fail alone: the launcher needs more descriptors at once than the daemon
 * does when it registers its signals. */
#include <errno.h>

int daemon_signal_init(int signal, ...) {
    (void)signal;
    errno = EMFILE;
    return -1;
}
