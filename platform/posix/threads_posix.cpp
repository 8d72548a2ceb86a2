// Threads on the real machine.
#include "platform/platform.h"

#include <pthread.h>

#include <new>

namespace platform {

namespace {
struct Start {
    ThreadProc proc;
    void* arg;
};

void* trampoline(void* raw) {
    Start start = *static_cast<Start*>(raw);
    delete static_cast<Start*>(raw);
    start.proc(start.arg);
    return nullptr;
}
}  // namespace

bool startThread(ThreadProc proc, void* arg, ThreadHandle* join) {
    Start* start = new (std::nothrow) Start{proc, arg};
    pthread_t* thread = new (std::nothrow) pthread_t{};
    if (start == nullptr || thread == nullptr || pthread_create(thread, nullptr, trampoline, start) != 0) {
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
