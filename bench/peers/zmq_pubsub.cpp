// ZeroMQ inproc PUB/SUB as a hub, in three set-ups.
//
// Each producer thread owns a publishing socket bound to its own inproc
// endpoint (sockets are not shared between threads); every consumer's SUB
// socket connects to all of them and subscribes to everything. zmq_send
// copies the producer's buffer into a message once; the publisher shares
// that message among its subscribers.
//
// No message may be dropped, so every publisher sets ZMQ_XPUB_NODROP: when
// a subscriber's pipe is full the send blocks until it has room instead of
// dropping. The publishers are XPUB sockets, PUB's own data path with the
// subscriptions visible, so that the run starts only once every
// subscription has arrived; a plain PUB would silently drop what it sends
// before that.
//
// - zmq-bounded, the set-up at its best for these workloads: the default
//   high-water marks, so a producer that runs ahead waits for the slowest
//   subscriber rather than growing a queue, and all subscribers served by
//   one thread that polls them and takes at most kSweepLimit messages from
//   each socket per sweep, so no subscriber waits behind a long backlog of
//   another.
// - zmq-unbounded: both high-water marks 0 (no limit, the same unbounded
//   queue the server's event queue is), one polling thread that empties
//   each ready socket in turn.
// - zmq-threads: unbounded, with a thread for each subscriber that blocks
//   in receive.

#include <zmq.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

#include "peers/peers.h"

namespace bench {

namespace {

constexpr int kReceiveTimeoutMs = 100;
// zmq-bounded's messages taken from one socket per sweep of the poll.
constexpr int kSweepLimit = 64;

std::string endpointOf(int producer) { return "inproc://bench-producer-" + std::to_string(producer); }

bool setInt(void* socket, int option, int value) {
    return zmq_setsockopt(socket, option, &value, sizeof value) == 0;
}

std::string zmqError(const std::string& what) { return what + ": " + zmq_strerror(zmq_errno()); }

class ZmqHub {
public:
    ZmqHub(PeerRun& run, const ZmqSetup& setup) : run(run), setup(setup), context(zmq_ctx_new()) {}
    ~ZmqHub() {
        for (void* socket : publishers) zmq_close(socket);
        for (void* socket : subscribers) zmq_close(socket);
        zmq_ctx_term(context);
    }

    bool open(std::string& error);
    void produce();
    void consumeOnOneThread();
    void consumeOnThreadEach();

private:
    bool openPublisher(int producer, std::string& error);
    bool openSubscriber(std::string& error);
    // Sets both high-water marks to 0 (no limit) in the unbounded set-ups;
    // the bounded one keeps ZeroMQ's defaults.
    bool setWaterMarks(void* socket) const;
    bool awaitSubscriptions(void* publisher, std::string& error);
    // Receives what is waiting (or, with `wait`, the next message) for
    // consumer `index`; false when nothing came.
    bool receiveOne(int index, int flags);

    PeerRun& run;
    const ZmqSetup setup;
    void* context;
    std::vector<void*> publishers;   // one per producer, used by its thread
    std::vector<void*> subscribers;  // one per consumer, used by its thread
};

bool ZmqHub::setWaterMarks(void* socket) const {
    if (setup.bounded) return true;
    return setInt(socket, ZMQ_SNDHWM, 0) && setInt(socket, ZMQ_RCVHWM, 0);
}

bool ZmqHub::openPublisher(int producer, std::string& error) {
    void* socket = zmq_socket(context, ZMQ_XPUB);
    publishers.push_back(socket);
    if (!socket || !setWaterMarks(socket) || !setInt(socket, ZMQ_XPUB_NODROP, 1) ||
        !setInt(socket, ZMQ_XPUB_VERBOSE, 1) ||
        !setInt(socket, ZMQ_LINGER, 0) || !setInt(socket, ZMQ_RCVTIMEO, 5000) ||
        zmq_bind(socket, endpointOf(producer).c_str()) != 0) {
        error = zmqError("publisher");
        return false;
    }
    return true;
}

bool ZmqHub::openSubscriber(std::string& error) {
    void* socket = zmq_socket(context, ZMQ_SUB);
    subscribers.push_back(socket);
    if (!socket || !setWaterMarks(socket) || !setInt(socket, ZMQ_LINGER, 0) ||
        !setInt(socket, ZMQ_RCVTIMEO, kReceiveTimeoutMs) ||
        zmq_setsockopt(socket, ZMQ_SUBSCRIBE, "", 0) != 0) {
        error = zmqError("subscriber");
        return false;
    }
    for (int p = 0; p < run.config.workload.producers; ++p) {
        if (zmq_connect(socket, endpointOf(p).c_str()) != 0) {
            error = zmqError("connect");
            return false;
        }
    }
    return true;
}

// Every subscriber's subscription arrives at every publisher as one message.
bool ZmqHub::awaitSubscriptions(void* publisher, std::string& error) {
    char frame[16];
    for (std::size_t i = 0; i < subscribers.size(); ++i) {
        if (zmq_recv(publisher, frame, sizeof frame, 0) < 1 || frame[0] != 1) {
            error = zmqError("waiting for subscriptions");
            return false;
        }
    }
    return true;
}

bool ZmqHub::open(std::string& error) {
    if (!context || zmq_ctx_set(context, ZMQ_IO_THREADS, 1) != 0) {
        error = zmqError("context");
        return false;
    }
    for (int p = 0; p < run.config.workload.producers; ++p) {
        if (!openPublisher(p, error)) return false;
    }
    for (int c = 0; c < run.config.workload.consumers; ++c) {
        if (!openSubscriber(error)) return false;
    }
    for (void* publisher : publishers) {
        if (!awaitSubscriptions(publisher, error)) return false;
    }
    return true;
}

void ZmqHub::produce() {
    const bool noCopy = run.config.fault == Fault::NoCopy;
    runProducerThreads(run, [this, noCopy](int index) {
        void* socket = publishers[static_cast<std::size_t>(index)];
        return [socket, noCopy](const std::uint8_t* data, std::size_t bytes) {
            if (!noCopy) return zmq_send(socket, data, bytes, 0) == static_cast<int>(bytes);
            // The fault: the message points at the producer's own buffer.
            zmq_msg_t message;
            zmq_msg_init_data(&message, const_cast<std::uint8_t*>(data), bytes, nullptr, nullptr);
            return zmq_msg_send(&message, socket, 0) == static_cast<int>(bytes);
        };
    });
}

bool ZmqHub::receiveOne(int index, int flags) {
    zmq_msg_t message;
    zmq_msg_init(&message);
    const bool got = zmq_msg_recv(&message, subscribers[static_cast<std::size_t>(index)], flags) >= 0;
    if (got) run.deliver(index, zmq_msg_data(&message), zmq_msg_size(&message));
    zmq_msg_close(&message);
    return got;
}

void ZmqHub::consumeOnOneThread() {
    std::vector<zmq_pollitem_t> items;
    for (void* socket : subscribers) items.push_back({socket, 0, ZMQ_POLLIN, 0});
    const int limit = setup.bounded ? kSweepLimit : std::numeric_limits<int>::max();
    while (!run.watch.over()) {
        if (zmq_poll(items.data(), static_cast<int>(items.size()), kReceiveTimeoutMs) <= 0) continue;
        for (std::size_t c = 0; c < items.size(); ++c) {
            if ((items[c].revents & ZMQ_POLLIN) == 0) continue;
            for (int taken = 0; taken < limit && receiveOne(static_cast<int>(c), ZMQ_DONTWAIT); ++taken) {
            }
        }
    }
}

void ZmqHub::consumeOnThreadEach() {
    std::vector<std::thread> threads;
    for (std::size_t c = 0; c < subscribers.size(); ++c) {
        threads.emplace_back([this, c] {
            while (!run.watch.over()) receiveOne(static_cast<int>(c), 0);
        });
    }
    for (std::thread& t : threads) t.join();
}

}  // namespace

bool runZmq(PeerRun& run, const ZmqSetup& setup, std::string& error) {
    ZmqHub hub(run, setup);
    if (!hub.open(error)) return false;
    std::thread consumers([&] {
        if (setup.onePollingThread) {
            hub.consumeOnOneThread();
        } else {
            hub.consumeOnThreadEach();
        }
    });
    hub.produce();
    run.watch.waitUntilOver();
    consumers.join();
    return true;
}

}  // namespace bench
