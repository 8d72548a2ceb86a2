// Threads on the real machine.
#include "platform/platform.h"

#include <pthread.h>

#include <new>

#include "platform/posix/thread_stack.h"

namespace platform {

namespace {
struct Start {
    ThreadProc proc;
    void* arg;
    bool fromRealtime;  // started by a thread at a real-time priority
};

void* trampoline(void* raw) {
    Start start = *static_cast<Start*>(raw);
    delete static_cast<Start*>(raw);
    posix::setStartedByRealtime(start.fromRealtime);
    start.proc(start.arg);
    return nullptr;
}
}  // namespace

bool startThread(ThreadProc proc, void* arg, ThreadHandle* join) {
    Start* start = new (std::nothrow) Start{proc, arg, posix::threadIsRealtime()};
    pthread_t* thread = new (std::nothrow) pthread_t{};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    if (size_t bytes = posix::threadStackBytes(); bytes != 0) pthread_attr_setstacksize(&attributes, bytes);
    const bool started =
        start != nullptr && thread != nullptr && pthread_create(thread, &attributes, trampoline, start) == 0;
    pthread_attr_destroy(&attributes);
    if (!started) {
        delete start;
        delete thread;
        return false;
    }
    if (join == nullptr) {
        pthread_detach(*thread);
        delete thread;
    } else {
        join->impl = thread;
    }
    return true;
}

void joinThread(ThreadHandle& handle) {
    if (handle.impl == nullptr) return;
    pthread_t* thread = static_cast<pthread_t*>(handle.impl);
    pthread_join(*thread, nullptr);
    delete thread;
    handle.impl = nullptr;
}

}  // namespace platform
