// Message boxes and the kill prompt on the real machine.
//
// Every message box of the program goes through messageBox here, so that the way it is shown
// lives in one place.
//
// Without a display (no DISPLAY, or HALVORAN_HEADLESS=1) a box is one line "Caption: text" on
// standard error and counts as confirmed at once; the kill prompt is then answered by SIGINT,
// SIGTERM or SIGHUP, which initProcess keeps from ending the process any other way.
//
// With a display, a box is a real dialog with an OK button that holds the thread showing it
// until OK is pressed (drawn by platform/posix/dialogs.h; a build without dialogs has only the
// lines). GTK may be used by one thread only, the main thread, which owns the window (ui/). So:
// - the main thread shows its box in-process and runs GTK's loop until OK is pressed; that loop
//   also carries the window's own events, and it is the only time that the window handles them
//   (its menu commands among them);
// - every other thread starts a helper, this same program started with a private option (its
//   main asks isDialogHelper first), that shows the box and exits 0 when OK is pressed; the
//   thread waits for the helper's end. A helper never outlives the program;
// - the kill prompt is such a helper as well; the kill thread waits for the helper's end or for
//   a kill signal (a service manager stops the robot with SIGTERM), whichever comes first.
// A helper that cannot show its box (the display went away) ends with another code, and the
// box falls back to the line on standard error.
//
// Once the kill prompt is answered the program is ending: a box that the main thread shows then
// is closed, so that the main thread sees the quit request (a service manager's SIGTERM must end
// the robot even while a start-up error is on screen), and later boxes are only lines. When the
// program ends for any reason, endMessageBoxes ends the helpers of the other threads' boxes too:
// the end waits for those threads (an accept thread whose accept failed, the menu mode's set-up
// thread), and nobody may have to press OK for the robot's program to end.
#include "platform/platform.h"

#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/dialogs.h"

extern char** environ;

namespace platform {

namespace {

// The private option that makes the program a dialog helper:
//   halvoran --halvoran-dialog <parent pid> <caption> <text>
constexpr const char* kHelperOption = "--halvoran-dialog";
using dialogs::kHelperConfirmed;
using dialogs::kHelperOrphaned;

std::mutex messageLock;  // one line at a time on standard error
pthread_t mainThread;
// Set by initProcess: only the program itself knows the helper option, so only it starts
// helpers (a test program that links this library shows its boxes on standard error).
std::atomic<bool> helpersPossible{false};
// Set when the kill prompt has been answered, or by endMessageBoxes.
std::atomic<bool> ending{false};
// The helpers that show the boxes of threads other than the main thread (not the kill prompt).
std::mutex helperLock;
std::vector<pid_t> boxHelpers;

sigset_t killSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    // The CPU-time guard of a real-time thread (RLIMIT_RTTIME): the program ends as on a stop,
    // with the drive stopped, unless the thread that ran too long never looks again (then the
    // guard's hard limit kills it).
    sigaddset(&set, SIGXCPU);
    return set;
}

void sayIfGuard(int signalNumber) {
    if (signalNumber == SIGXCPU) {
        std::fprintf(stderr, "halvoran: a real-time thread ran too long without blocking (SIGXCPU): ending\n");
        std::fflush(stderr);
    }
}

bool headless() {
    const char* forced = std::getenv("HALVORAN_HEADLESS");
    if (forced != nullptr && std::strcmp(forced, "1") == 0) return true;
    const char* display = std::getenv("DISPLAY");
    return display == nullptr || display[0] == '\0';
}

void showLine(const char* text, const char* caption) {
    std::lock_guard<std::mutex> hold(messageLock);
    std::fprintf(stderr, "%s: %s\n", caption, text);
    std::fflush(stderr);
}

[[noreturn]] void runHelper(pid_t parent, const char* caption, const char* text) {
    // The box goes with the program that asked for it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(kHelperOrphaned);
    int code = dialogs::helperBox(text, caption, ending);
    // _exit: the helper has nothing to tidy up, and the toolkit's memory goes with the process.
    _exit(code);
}

// Starts a helper that shows the box; -1 when it could not be started.
pid_t startHelper(const char* text, const char* caption) {
    char parent[24];
    std::snprintf(parent, sizeof parent, "%ld", static_cast<long>(getpid()));
    std::string program = "halvoran", option = kHelperOption, captionArg = caption, textArg = text;
    char* argv[] = {program.data(), option.data(), parent, captionArg.data(), textArg.data(), nullptr};

    // The helper starts with ordinary signal handling whatever this process blocks or ignores.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    sigset_t defaults = killSignals();
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGCHLD);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    int result = posix_spawn(&pid, "/proc/self/exe", nullptr, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    return result == 0 ? pid : -1;
}

// Waits for the helper's end; true when its box was confirmed.
bool helperConfirmed(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == kHelperConfirmed;
}

bool onMainThreadWithDisplay() {
    return helpersPossible.load() && pthread_equal(pthread_self(), mainThread) && dialogs::displayOpen();
}

}  // namespace

bool isDialogHelper(int argc, char** argv) {
    return argc == 5 && argv != nullptr && argv[1] != nullptr && std::strcmp(argv[1], kHelperOption) == 0;
}

void runDialogHelper(int argc, char** argv) {
    // halvoran --halvoran-dialog <parent pid> <caption> <text>
    if (argc != 5) _exit(kHelperOrphaned);
    char* end = nullptr;
    long parent = std::strtol(argv[2], &end, 10);
    if (end == argv[2] || *end != '\0' || parent <= 1) _exit(kHelperOrphaned);
    runHelper(static_cast<pid_t>(parent), argv[3], argv[4]);
}

void initProcess() {
    // A lost client must never end the process through SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    // The kill signals are taken only by the kill prompt, and the end of a helper (SIGCHLD) too:
    // every thread started from here on inherits the blocked set.
    sigset_t set = killSignals();
    sigaddset(&set, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    mainThread = pthread_self();
    helpersPossible.store(true);
}

void logLine(const char* text) {
    std::lock_guard<std::mutex> hold(messageLock);
    std::fprintf(stderr, "%s\n", text);
    std::fflush(stderr);
}

void messageBox(const char* text, const char* caption) {
    if (headless() || !dialogs::available() || !helpersPossible.load() || ending.load()) {
        showLine(text, caption);
        return;
    }
    if (onMainThreadWithDisplay()) {
        dialogs::showBox(text, caption, ending);
        return;
    }
    pid_t helper = startHelper(text, caption);
    if (helper < 0) {
        showLine(text, caption);
        return;
    }
    {
        std::lock_guard<std::mutex> hold(helperLock);
        if (ending.load()) {
            kill(helper, SIGKILL);
        } else {
            boxHelpers.push_back(helper);
        }
    }
    // Waited for without reaping first, so that endMessageBoxes never signals a process id that
    // has been reaped (and could be another process's by then).
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(helper), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    {
        std::lock_guard<std::mutex> hold(helperLock);
        boxHelpers.erase(std::remove(boxHelpers.begin(), boxHelpers.end(), helper), boxHelpers.end());
    }
    // A box closed by the program's end counts as confirmed; its line stays on standard error.
    if (!helperConfirmed(helper)) showLine(text, caption);
}

void endMessageBoxes() {
    std::lock_guard<std::mutex> hold(helperLock);
    ending.store(true);
    for (pid_t helper : boxHelpers) kill(helper, SIGKILL);
    if (helpersPossible.load()) dialogs::wakeBox();
}

namespace {

// Shows the prompt as a helper's dialog; true when it was answered (OK or a kill signal), false
// when it could not be shown.
bool dialogPrompt(const char* text, const char* caption, const sigset_t& kills) {
    pid_t helper = startHelper(text, caption);
    if (helper < 0) return false;
    sigset_t set = kills;
    sigaddset(&set, SIGCHLD);
    for (;;) {
        timespec step{1, 0};  // a safety net: the helper's end and the signals wake it at once
        int signalNumber = sigtimedwait(&set, nullptr, &step);
        if (signalNumber > 0 && sigismember(&kills, signalNumber)) {
            sayIfGuard(signalNumber);
            kill(helper, SIGKILL);
            waitpid(helper, nullptr, 0);
            return true;
        }
        int status = 0;
        pid_t done = waitpid(helper, &status, WNOHANG);
        if (done == helper) return WIFEXITED(status) && WEXITSTATUS(status) == kHelperConfirmed;
        if (done < 0 && errno != EINTR) return false;
    }
}

}  // namespace

void killPrompt(const char* text, const char* caption) {
    sigset_t kills = killSignals();
    bool answered = !headless() && dialogs::available() && helpersPossible.load() && dialogPrompt(text, caption, kills);
    if (!answered) {
        showLine(text, caption);
        int signalNumber = 0;
        while (sigwait(&kills, &signalNumber) != 0) {
        }
        sayIfGuard(signalNumber);
    }
    ending.store(true);
    // Wakes the main thread's loop if it shows a box.
    if (helpersPossible.load()) dialogs::wakeBox();
}

}  // namespace platform
