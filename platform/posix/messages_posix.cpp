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
// until OK is pressed. GTK may be used by one thread only, the main thread, which owns the
// window (ui/). So:
// - the main thread shows its box in-process and runs GTK's loop until OK is pressed; that loop
//   also carries the window's own events, and it is the only time that the window handles them
//   (its menu commands among them);
// - every other thread starts a helper, this same program started with a private option, that
//   shows the box and exits 0 when OK is pressed; the thread waits for the helper's end. A
//   helper never outlives the program;
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

#include <gtk/gtk.h>
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

extern char** environ;

namespace platform {

namespace {

// The private option that makes the program a dialog helper:
//   halvoran --halvoran-dialog <parent pid> <caption> <text>
constexpr const char* kHelperOption = "--halvoran-dialog";
constexpr int kHelperConfirmed = 0;
constexpr int kHelperNoDisplay = 2;
constexpr int kHelperOrphaned = 3;

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
    return set;
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

gboolean confirmOnDelete(GtkWidget*, GdkEvent*, gpointer confirmed) {
    // Closing a box that has only an OK button counts as OK.
    *static_cast<bool*>(confirmed) = true;
    return TRUE;
}

void confirmOnClick(GtkButton*, gpointer confirmed) { *static_cast<bool*>(confirmed) = true; }

// A box without an owner window: the caption as its title, the text, one OK button. The box
// sets *confirmed when OK is pressed.
GtkWidget* buildBox(const char* text, const char* caption, bool* confirmed) {
    GtkWidget* box = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(box), caption);
    gtk_window_set_type_hint(GTK_WINDOW(box), GDK_WINDOW_TYPE_HINT_DIALOG);
    gtk_window_set_position(GTK_WINDOW(box), GTK_WIN_POS_CENTER);
    gtk_window_set_resizable(GTK_WINDOW(box), FALSE);
    gtk_window_set_deletable(GTK_WINDOW(box), FALSE);
    g_signal_connect(box, "delete-event", G_CALLBACK(confirmOnDelete), confirmed);

    GtkWidget* column = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
    gtk_container_set_border_width(GTK_CONTAINER(column), 12);
    GtkWidget* label = gtk_label_new(text);
    gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
    gtk_label_set_max_width_chars(GTK_LABEL(label), 50);
    gtk_box_pack_start(GTK_BOX(column), label, TRUE, TRUE, 0);

    GtkWidget* buttons = gtk_button_box_new(GTK_ORIENTATION_HORIZONTAL);
    gtk_button_box_set_layout(GTK_BUTTON_BOX(buttons), GTK_BUTTONBOX_CENTER);
    GtkWidget* ok = gtk_button_new_with_label("OK");
    gtk_widget_set_size_request(ok, 80, -1);
    g_signal_connect(ok, "clicked", G_CALLBACK(confirmOnClick), confirmed);
    gtk_container_add(GTK_CONTAINER(buttons), ok);
    gtk_box_pack_start(GTK_BOX(column), buttons, FALSE, FALSE, 0);
    gtk_container_add(GTK_CONTAINER(box), column);

    gtk_widget_set_can_default(ok, TRUE);
    gtk_window_set_default(GTK_WINDOW(box), ok);
    gtk_window_set_focus(GTK_WINDOW(box), ok);
    return box;
}

// Shows the box and runs GTK's loop until OK is pressed; the loop also serves every other
// window of this thread.
void runBox(const char* text, const char* caption) {
    bool confirmed = false;
    GtkWidget* box = buildBox(text, caption, &confirmed);
    gtk_widget_show_all(box);
    while (!confirmed && !ending.load()) gtk_main_iteration();
    gtk_widget_destroy(box);
    gdk_display_flush(gdk_display_get_default());
}

[[noreturn]] void runHelper(pid_t parent, const char* caption, const char* text) {
    // The box goes with the program that asked for it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(kHelperOrphaned);
    gdk_set_allowed_backends("x11");
    if (!gtk_init_check(nullptr, nullptr)) _exit(kHelperNoDisplay);
    runBox(text, caption);
    // _exit: the helper has nothing to tidy up, and GTK's memory goes with the process.
    _exit(kHelperConfirmed);
}

// The process's command line, one string per argument.
std::vector<std::string> commandLine() {
    std::vector<std::string> args;
    FILE* file = std::fopen("/proc/self/cmdline", "rb");
    if (file == nullptr) return args;
    std::string current;
    int c = 0;
    while ((c = std::fgetc(file)) != EOF) {
        if (c == '\0') {
            args.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(c));
        }
    }
    std::fclose(file);
    return args;
}

void runHelperIfAsked() {
    std::vector<std::string> args = commandLine();
    if (args.size() != 5 || args[1] != kHelperOption) return;
    char* end = nullptr;
    long parent = std::strtol(args[2].c_str(), &end, 10);
    if (end == args[2].c_str() || *end != '\0' || parent <= 1) _exit(kHelperOrphaned);
    runHelper(static_cast<pid_t>(parent), args[3].c_str(), args[4].c_str());
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
    return helpersPossible.load() && pthread_equal(pthread_self(), mainThread) && gdk_display_get_default() != nullptr;
}

}  // namespace

void initProcess() {
    runHelperIfAsked();
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

void messageBox(const char* text, const char* caption) {
    if (headless() || !helpersPossible.load() || ending.load()) {
        showLine(text, caption);
        return;
    }
    if (onMainThreadWithDisplay()) {
        runBox(text, caption);
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
    if (helpersPossible.load()) g_main_context_wakeup(g_main_context_default());
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
    bool answered = !headless() && helpersPossible.load() && dialogPrompt(text, caption, kills);
    if (!answered) {
        showLine(text, caption);
        int signalNumber = 0;
        while (sigwait(&kills, &signalNumber) != 0) {
        }
    }
    ending.store(true);
    // Wakes the main thread's loop if it shows a box (GLib's contexts may be woken from any thread).
    if (helpersPossible.load()) g_main_context_wakeup(g_main_context_default());
}

}  // namespace platform
