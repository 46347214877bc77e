// The stop signals, queued by libdaemon and read from a descriptor by the
// main thread, so that the Core is always stopped on the main thread and
// never from a signal handler. Works with and without forking.
//
// SIGINT, SIGTERM and SIGQUIT stop the server; SIGHUP is queued too and only
// logged. SIGPIPE is ignored for the whole process: a write to a pipe or
// socket whose reader is gone (the launcher that stopped waiting, a client of
// a plugin) fails with EPIPE where it happens instead of killing the server.
#pragma once

// Ignores SIGPIPE in the whole process, every thread and plugin included.
void ignoreBrokenPipes();

class SignalQueue {
public:
    // Registers SIGINT, SIGTERM, SIGQUIT and SIGHUP.
    SignalQueue();
    ~SignalQueue() { close(); }

    SignalQueue(const SignalQueue&) = delete;
    SignalQueue& operator=(const SignalQueue&) = delete;

    // Whether the registration worked; errno tells why when it did not.
    bool registered() const { return isRegistered; }
    // The descriptor that is readable while a signal waits.
    int descriptor() const;
    // Releases the queue; the signals get their default handling back.
    void close();

    enum class Verdict { Stop, Ignore, Failed };
    // Takes the next signal from the queue and logs what it means.
    Verdict take();

private:
    bool isRegistered = false;
};
