// A gate that lets every producer thread of a run begin at the same moment.
// Threads wait() until one thread calls open(); it opens once, for good.
#pragma once

#include <condition_variable>
#include <mutex>

namespace bench {

class StartGate {
public:
    void open() {
        std::lock_guard<std::mutex> hold(lock);
        opened = true;
        changed.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> hold(lock);
        changed.wait(hold, [this] { return opened; });
    }

private:
    std::mutex lock;
    std::condition_variable changed;
    bool opened = false;  // guarded by lock
};

}  // namespace bench
