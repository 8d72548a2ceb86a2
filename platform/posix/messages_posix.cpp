// Message boxes and the kill prompt on the real machine.
//
// Every message box of the program goes through messageBox here, so that the way it is shown
// lives in one place. Without a display a box is one line "Caption: text" on standard error
// and counts as confirmed at once; the kill prompt is then answered by SIGINT, SIGTERM or
// SIGHUP, which initProcess keeps from ending the process any other way.
#include "platform/platform.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>

namespace platform {

namespace {
std::mutex messageLock;  // one line at a time on standard error

sigset_t killSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}
}  // namespace

void initProcess() {
    // A lost client must never end the process through SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    // The kill signals are taken only by the kill prompt: every thread started from here on
    // inherits the blocked set.
    sigset_t set = killSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void messageBox(const char* text, const char* caption) {
    std::lock_guard<std::mutex> hold(messageLock);
    std::fprintf(stderr, "%s: %s\n", caption, text);
    std::fflush(stderr);
}

void killPrompt(const char* text, const char* caption) {
    messageBox(text, caption);
    sigset_t set = killSignals();
    int signalNumber = 0;
    while (sigwait(&set, &signalNumber) != 0) {
    }
}

}  // namespace platform
