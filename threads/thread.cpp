#include "threads/thread.h"

#include <cerrno>

#include "threads/atomic.h"
#include "threads/fatal.h"
#include "threads/signal_stack.h"

namespace pt {

pthread_t currentThread() { return pthread_self(); }

bool isCurrentThread(pthread_t handle) { return handle == pthread_self(); }

thread::thread(bool autofree) : autofree(autofree ? 1 : 0) {}

thread::~thread() {
    if (pexchange(freed, 1) == 0 && autofree == 0 && isRunning()) {
        pthread_detach(handle.load());
    }
}

void thread::start() {
    if (!tryStart()) fatal(FATAL_THREAD_CREATE, "pthread_create() failed");
}

bool thread::tryStart() {
    if (pexchange(running, 1) != 0) return true;

    // An autofree thread may finish and delete this object before
    // pthread_create() returns, so nothing of it is read afterwards.
    const bool selfDeleting = autofree != 0;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes,
                                selfDeleting ? PTHREAD_CREATE_DETACHED : PTHREAD_CREATE_JOINABLE);
    pthread_t created;
    const int result = pthread_create(&created, &attributes, threadEntry, this);
    pthread_attr_destroy(&attributes);
    if (result != 0) {
        // Never ran: nothing else has seen the object since the exchange.
        running.store(0);
        errno = result;
        return false;
    }
    if (!selfDeleting) handle.store(created);
    return true;
}

void thread::signal() {
    if (pexchange(signaled, 1) == 0) relaxsem.post();
}

void thread::waitfor() {
    if (pexchange(freed, 1) != 0) return;
    if (isCurrentThread(handle.load())) fatal(FATAL_WAITFOR_SELF, "Can not waitfor() on myself");
    if (autofree != 0) fatal(FATAL_WAITFOR_AUTOFREE, "Can not waitfor() on an autofree thread");
    if (!isRunning()) return;  // never started: there is nothing to join
    pthread_join(handle.load(), nullptr);
    handle.store(0);
}

void* thread::threadEntry(void* self) {
    // Outlives the epilogue, which may delete the object.
    SignalStack signalStack;
    thread* const me = static_cast<thread*>(self);
    // Stored here as well as by start(), so that execute() can rely on it
    // from its first line, whichever side of pthread_create() runs first.
    me->handle.store(pthread_self());
    try {
        me->execute();
    } catch (exception*) {
        me->epilogue();
        throw;
    }
    me->epilogue();
    return nullptr;
}

void thread::epilogue() {
    try {
        cleanup();
    } catch (exception* swallowed) {
        delete swallowed;
    }
    const bool selfDeleting = autofree != 0;
    // From here on the owner of a joinable thread may delete the object, and
    // an autofree thread deletes itself: nothing of it is touched after this.
    pexchange(finished, 1);
    if (selfDeleting) delete this;
}

}  // namespace pt
