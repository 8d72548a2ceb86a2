// The built halvoran with its window, on a virtual X server (Xvfb) started by each test, and
// the single-instance rule without a display.
//
// The tests look at the display only with the X tools a user has at hand: xwininfo for the
// windows (listed top-most first), xdotool for keys and focus, import (ImageMagick) for
// screenshots. There is no window manager, so keyboard focus is set directly.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/test_support.h"

using testing_support::ChildProcess;
using testing_support::waitUntil;

namespace {

using Clock = std::chrono::steady_clock;

// A virtual X server on a display number that it picks itself.
class VirtualDisplay {
public:
    ~VirtualDisplay() { server_.stop(); }
    // False with a reason when no X server could be started.
    bool start(std::string& reason) {
        int numberPipe[2];
        if (pipe(numberPipe) != 0) {
            reason = "no pipe";
            return false;
        }
        // Only the writing end goes to the server.
        fcntl(numberPipe[0], F_SETFD, FD_CLOEXEC);
        std::string fd = std::to_string(numberPipe[1]);
        bool started = server_.start({"Xvfb", "-displayfd", fd, "-screen", "0", "1024x768x24", "-nolisten", "tcp"}, {},
                                     "/dev/null");
        close(numberPipe[1]);
        if (!started) {
            close(numberPipe[0]);
            reason = "Xvfb could not be run (is the xvfb package installed?)";
            return false;
        }
        // Xvfb writes its display number once it accepts clients.
        std::string number;
        auto deadline = Clock::now() + std::chrono::seconds(20);
        while (number.find('\n') == std::string::npos && Clock::now() < deadline) {
            pollfd in{numberPipe[0], POLLIN, 0};
            if (poll(&in, 1, 100) != 1) continue;
            char buffer[16];
            ssize_t n = read(numberPipe[0], buffer, sizeof buffer);
            if (n <= 0) break;
            number.append(buffer, static_cast<size_t>(n));
        }
        close(numberPipe[0]);
        if (number.find('\n') == std::string::npos) {
            reason = "Xvfb did not report a display number";
            return false;
        }
        display_ = ":" + number.substr(0, number.find('\n'));
        return true;
    }
    const std::string& name() const { return display_; }

private:
    ChildProcess server_;
    std::string display_;
};

struct TopWindow {
    std::string id;
    std::string title;
    std::string instance;
    std::string windowClass;
    int width = 0, height = 0, x = 0, y = 0;
};

bool readPpm(const std::string& path, int& width, int& height, std::vector<uint8_t>& rgb) {
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    int maxValue = 0;
    in >> magic >> width >> height >> maxValue;
    if (magic != "P6" || width <= 0 || height <= 0 || maxValue <= 0 || maxValue > 65535) return false;
    in.get();
    size_t samples = size_t(width) * height * 3;
    int bytesPerSample = maxValue > 255 ? 2 : 1;
    std::vector<uint8_t> raw(samples * bytesPerSample);
    if (!in.read(reinterpret_cast<char*>(raw.data()), static_cast<std::streamsize>(raw.size()))) return false;
    rgb.resize(samples);
    for (size_t i = 0; i < samples; ++i) {
        int v = bytesPerSample == 2 ? raw[2 * i] * 256 + raw[2 * i + 1] : raw[i];
        rgb[i] = static_cast<uint8_t>(v * 255 / maxValue);
    }
    return true;
}

// GTK keeps parts of its memory until the process ends; only leaks in stacks without a GTK
// library frame count.
const char* kGtkLeaks =
    "leak:libgtk-3.so\nleak:libgdk-3.so\nleak:libglib-2.0.so\nleak:libgobject-2.0.so\nleak:libgio-2.0.so\n"
    "leak:libfontconfig.so\nleak:libpango\nleak:libcairo\nleak:libharfbuzz\nleak:libX11.so\nleak:libgdk_pixbuf\n"
    "leak:libatk\nleak:libepoxy\nleak:libfreetype\n";

// Threads of their own inside GLib, Pango and fontconfig race on their own memory, which the
// thread checker sees only in part; races in the program's own code still count.
const char* kGtkRaces =
    "race:libfontconfig.so\nrace:libglib-2.0.so\nrace:libgobject-2.0.so\nrace:libgio-2.0.so\nrace:libpango\n"
    "race:libgtk-3.so\nrace:libgdk-3.so\nrace:libcairo\nrace:libharfbuzz\nrace:libX11.so\nrace:libxcb\n"
    "race:libgdk_pixbuf\nrace:libatk\nrace:libepoxy\nrace:libpixman\nrace:libfreetype\nrace:libgmodule\n"
    "called_from_lib:libfontconfig.so\n";

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string taken;
        ASSERT_TRUE(testing_support::portsFree({5000, 5001, 5002}, taken)) << taken;
        dir = testing_support::makeTempDir("halvoran-window");
        char name[256] = {};
        int slave = -1;
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        close(slave);
        linePath = name;
        std::ofstream(dir + "/lsan.supp") << kGtkLeaks;
        std::ofstream(dir + "/tsan.supp") << kGtkRaces;
        std::string reason;
        if (!display.start(reason)) GTEST_SKIP() << "no X server for the window tests: " << reason;
    }
    void TearDown() override {
        program.signal(SIGKILL);
        if (holder >= 0) close(holder);
        if (master >= 0) close(master);
    }
    std::vector<std::string> environment(const std::string& line) {
        const char* asan = std::getenv("ASAN_OPTIONS");
        const char* tsan = std::getenv("TSAN_OPTIONS");
        return {"DISPLAY=" + display.name(),
                "HALVORAN_HEADLESS=0",
                "HALVORAN_COM1=" + line,
                "NO_AT_BRIDGE=1",
                "XDG_RUNTIME_DIR=" + dir,
                "GDK_BACKEND=x11",
                std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") + ":fast_unwind_on_malloc=0",
                "LSAN_OPTIONS=suppressions=" + dir + "/lsan.supp:print_suppressions=0",
                std::string("TSAN_OPTIONS=") + (tsan != nullptr ? tsan : "") + ":suppressions=" + dir + "/tsan.supp"};
    }
    // What the program wrote on standard error, for the failure messages.
    std::string said() { return "halvoran's standard error: " + testing_support::readFile(dir + "/stderr"); }
    void start(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> env = environment(linePath);
        env.insert(env.end(), extra.begin(), extra.end());
        ASSERT_TRUE(program.start({HALVORAN_BIN}, env, dir + "/stderr"));
    }
    std::string tool(const std::vector<std::string>& argv, int* exitCode = nullptr) {
        testing_support::ProgramRun run = testing_support::runProgram(argv, {"DISPLAY=" + display.name()});
        if (exitCode != nullptr) *exitCode = run.exitCode;
        return run.out;
    }
    // The top-level windows, top-most first, from lines such as
    //   0x200003 "Halvoran 2.2": ("halvoran" "WENDLOCK")  240x320+0+0  +0+0
    std::vector<TopWindow> windows() {
        std::vector<TopWindow> list;
        std::istringstream lines(tool({"xwininfo", "-root", "-children"}));
        std::string line;
        while (std::getline(lines, line)) {
            size_t id = line.find("0x");
            size_t titleStart = line.find('"');
            size_t titleEnd = line.find("\": (\"");
            size_t classEnd = line.find("\")", titleEnd);
            if (id == std::string::npos || titleStart == std::string::npos || titleEnd == std::string::npos ||
                classEnd == std::string::npos) {
                continue;
            }
            TopWindow w;
            w.id = line.substr(id, line.find(' ', id) - id);
            w.title = line.substr(titleStart + 1, titleEnd - titleStart - 1);
            std::string names = line.substr(titleEnd + 5, classEnd - titleEnd - 5);  // halvoran" "WENDLOCK
            size_t split = names.find("\" \"");
            if (split == std::string::npos) continue;
            w.instance = names.substr(0, split);
            w.windowClass = names.substr(split + 3);
            if (std::sscanf(line.c_str() + classEnd + 2, " %dx%d+%d+%d", &w.width, &w.height, &w.x, &w.y) != 4)
                continue;
            list.push_back(w);
        }
        return list;
    }
    bool findWindow(const std::string& title, TopWindow& out, int timeoutMs = 60000) {
        return waitUntil(
            [&] {
                for (const TopWindow& w : windows()) {
                    if (w.title == title) {
                        out = w;
                        return true;
                    }
                }
                return false;
            },
            timeoutMs);
    }
    // Opens the window's menu bar with F10 and types `keys`, again until `done` holds (a key
    // typed just as a menu opens can be lost).
    bool useMenu(const TopWindow& window, const std::vector<std::string>& keys, const std::function<bool()>& done) {
        return waitUntil(
            [&] {
                press(window.id, "Escape");
                std::vector<std::string> command = {"xdotool", "key", "F10"};
                for (const std::string& key : keys) command.insert(command.end(), {"sleep", "0.3", "key", key});
                tool(command);
                return waitUntil(done, 1500);
            },
            30000);
    }
    bool windowGone(const std::string& id, int timeoutMs = 10000) {
        return waitUntil(
            [&] {
                for (const TopWindow& w : windows()) {
                    if (w.id == id) return false;
                }
                return true;
            },
            timeoutMs);
    }
    int position(const std::string& id) {
        std::vector<TopWindow> list = windows();
        for (size_t i = 0; i < list.size(); ++i) {
            if (list[i].id == id) return static_cast<int>(i);
        }
        return -1;
    }
    void press(const std::string& windowId, const std::string& key) {
        tool({"xdotool", "windowfocus", "--sync", windowId});
        tool({"xdotool", "key", key});
    }
    // Holds a port so that halvoran's own endpoint on it fails and its main thread shows the
    // bind message: the window serves its menu only while such a box is up.
    void holdPort(int port) {
        std::string error;
        holder = testing_support::listenTcp(port, true, error);
        ASSERT_GE(holder, 0) << error;
    }

    VirtualDisplay display;
    ChildProcess program;
    std::string dir, linePath;
    int master = -1;
    int holder = -1;
};

TEST_F(WindowTest, TheWindowHasItsTitleAndClassAndShowsTheTextCentredOnOneLine) {
    start();
    TopWindow window;
    ASSERT_TRUE(findWindow("Halvoran 2.2", window)) << said();
    EXPECT_EQ(window.windowClass, "WENDLOCK");
    TopWindow prompt;
    ASSERT_TRUE(findWindow("Halvoran", prompt)) << said();  // the kill prompt, beside it

    // The screenshot is kept next to the test's other output.
    int code = -1;
    tool({"import", "-window", window.id, "window-screenshot.png"}, &code);
    EXPECT_EQ(code, 0) << "import (ImageMagick) could not take the screenshot";
    tool({"import", "-window", window.id, "-depth", "8", dir + "/window.ppm"}, &code);
    ASSERT_EQ(code, 0);
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
    ASSERT_TRUE(readPpm(dir + "/window.ppm", width, height, rgb));
    ASSERT_EQ(width, window.width);
    auto at = [&](int x, int y) { return &rgb[(size_t(y) * width + x) * 3]; };
    auto white = [&](int x, int y) { return at(x, y)[0] == 255 && at(x, y)[1] == 255 && at(x, y)[2] == 255; };
    auto dark = [&](int x, int y) { return at(x, y)[0] + at(x, y)[1] + at(x, y)[2] < 3 * 128; };

    // The client area is the white part below the menu bar.
    int top = height;
    while (top > 0 && white(0, top - 1) && white(width - 1, top - 1)) --top;
    ASSERT_LT(top, height / 4) << "no white client area below a menu bar";
    ASSERT_GT(top, 10) << "no menu bar above the client area";
    int left = width, right = -1, upper = height, lower = -1;
    std::vector<bool> inkRow(height, false);
    for (int y = top; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if (!dark(x, y)) continue;
            left = std::min(left, x);
            right = std::max(right, x);
            upper = std::min(upper, y);
            lower = std::max(lower, y);
            inkRow[y] = true;
        }
    }
    ASSERT_GE(right, 0) << "no text in the window";
    EXPECT_GT(right - left, 60);
    EXPECT_LE(lower - upper, 24) << "one line of text";
    for (int y = upper; y <= lower; ++y) EXPECT_TRUE(inkRow[y]) << "a gap between lines at row " << y;
    EXPECT_NEAR((left + right) / 2.0, (width - 1) / 2.0, 3.0);
    EXPECT_NEAR((upper + lower) / 2.0, (top + height - 1) / 2.0, 5.0);

    // A service manager ends the robot with SIGTERM, display or not.
    program.signal(SIGTERM);
    int exitCode = -1;
    ASSERT_TRUE(program.waitExit(20000, exitCode));
    EXPECT_EQ(exitCode, 0) << testing_support::readFile(dir + "/stderr");
}

TEST_F(WindowTest, TheKillPromptsOkEndsTheProgramWithExitCode0) {
    start();
    TopWindow window, prompt;
    ASSERT_TRUE(findWindow("Halvoran 2.2", window)) << said();
    ASSERT_TRUE(findWindow("Halvoran", prompt)) << said();
    press(prompt.id, "Return");
    int exitCode = -1;
    ASSERT_TRUE(program.waitExit(20000, exitCode));
    EXPECT_EQ(exitCode, 0) << testing_support::readFile(dir + "/stderr");
    EXPECT_TRUE(windowGone(prompt.id));
}

TEST_F(WindowTest, ASecondStartRaisesTheFirstWindowAndEndsWithExitCode0) {
    start();
    TopWindow window, prompt;
    ASSERT_TRUE(findWindow("Halvoran 2.2", window)) << said();
    ASSERT_TRUE(findWindow("Halvoran", prompt)) << said();
    tool({"xdotool", "windowmove", "--sync", prompt.id, "0", "0"});
    ASSERT_TRUE(waitUntil([&] { return position(prompt.id) < position(window.id); })) << "the prompt covers the window";

    ChildProcess second;
    ASSERT_TRUE(second.start({HALVORAN_BIN}, environment("/nonexistent/line"), dir + "/second-stderr"));
    int exitCode = -1;
    ASSERT_TRUE(second.waitExit(20000, exitCode));
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(testing_support::readFile(dir + "/second-stderr"), "") << "the second start opened nothing";
    EXPECT_LT(position(window.id), position(prompt.id)) << "the first window is in front again";
    EXPECT_TRUE(program.running());
    TopWindow again;
    ASSERT_TRUE(findWindow("Halvoran 2.2", again)) << said();
    EXPECT_EQ(again.id, window.id) << "still the one window";
}

TEST_F(WindowTest, TheAboutDialogOpensFromTheHelpMenuAndClosesWithDone) {
    holdPort(5000);
    start();
    TopWindow window, box;
    ASSERT_TRUE(findWindow("Halvoran 2.2", window)) << said();
    ASSERT_TRUE(findWindow("Error", box)) << "the main thread shows the bind message; " << said();

    // Help, About: F10 opens the menu bar's first menu, Right the next one, Down selects its
    // item and Return picks it.
    TopWindow about;
    bool opened =
        useMenu(window, {"Right", "Down", "Return"}, [&] { return findWindow("About Nimbrell", about, 100); });
    ASSERT_TRUE(opened) << "the About dialog did not open";
    // It covers the window, as it fills the handheld's screen.
    EXPECT_EQ(about.x, window.x);
    EXPECT_EQ(about.y, window.y);
    EXPECT_EQ(about.width, window.width);

    press(about.id, "Return");  // Done
    EXPECT_TRUE(windowGone(about.id));
    EXPECT_TRUE(program.running());

    // SIGTERM ends the program even while the main thread's box is on screen.
    program.signal(SIGTERM);
    int exitCode = -1;
    ASSERT_TRUE(program.waitExit(20000, exitCode));
    EXPECT_EQ(exitCode, 0) << testing_support::readFile(dir + "/stderr");
    EXPECT_TRUE(windowGone(box.id));
}

TEST_F(WindowTest, FileStartAndExitReachTheMenuModeWhileTheMainThreadShowsAMessage) {
    char name[256] = {};
    int com2Master = -1, com2Slave = -1;
    ASSERT_EQ(openpty(&com2Master, &com2Slave, name, nullptr, nullptr), 0);
    close(com2Slave);
    holdPort(5000);
    start({std::string("HALVORAN_COM2=") + name});
    TopWindow window, box;
    ASSERT_TRUE(findWindow("Halvoran 2.2", window)) << said();
    ASSERT_TRUE(findWindow("Error", box)) << said();

    // The menu mode's own messages come from its set-up thread, through helper processes: its
    // "COM1:" is held by the program itself and its port 5000 by this test.
    auto helperMessages = [&] {
        std::vector<TopWindow> found;
        for (const TopWindow& w : windows()) {
            if (w.title == "Error" && w.windowClass != "WENDLOCK") found.push_back(w);
        }
        return found;
    };
    ASSERT_TRUE(useMenu(window, {"Down", "Return"}, [&] { return !helperMessages().empty(); })) << "File, Start";
    // OK on each of them lets the set-up go on; it opens the debug port 4999.
    int debug = -1;
    EXPECT_TRUE(waitUntil(
        [&] {
            for (const TopWindow& message : helperMessages()) press(message.id, "Return");
            return (debug = testing_support::connectLoopback(4999)) >= 0;
        },
        30000))
        << "the menu mode did not start";
    if (debug >= 0) close(debug);

    // File, Exit: the menu mode closes its ports and the window goes; the program runs on. (The
    // accept thread of the mode's port 5000 waits on its own message, which Exit waits for.)
    ASSERT_TRUE(useMenu(window, {"Up", "Return"}, [&] {
        for (const TopWindow& message : helperMessages()) press(message.id, "Return");
        for (const TopWindow& w : windows()) {
            if (w.id == window.id) return false;
        }
        return true;
    })) << "File, Exit";
    EXPECT_LT(testing_support::connectLoopback(4999), 0);
    EXPECT_TRUE(program.running());
    program.signal(SIGTERM);
    int exitCode = -1;
    ASSERT_TRUE(program.waitExit(20000, exitCode));
    EXPECT_EQ(exitCode, 0) << testing_support::readFile(dir + "/stderr");
    close(com2Master);
}

TEST_F(WindowTest, OkOnAStartUpMessageLetsTheStartUpGoOn) {
    holdPort(5001);
    start();
    TopWindow box, prompt;
    ASSERT_TRUE(findWindow("Error", box)) << said();
    EXPECT_EQ(program.running(), true);
    press(box.id, "Return");
    EXPECT_TRUE(windowGone(box.id));
    // The start-up went on to port 5002 and waits for the client; the kill prompt ends it.
    int client = -1;
    EXPECT_TRUE(waitUntil([&] { return (client = testing_support::connectLoopback(5002)) >= 0; }, 10000));
    if (client >= 0) close(client);
    ASSERT_TRUE(findWindow("Halvoran", prompt)) << said();
    press(prompt.id, "Return");
    int exitCode = -1;
    ASSERT_TRUE(program.waitExit(20000, exitCode));
    EXPECT_EQ(exitCode, 0) << testing_support::readFile(dir + "/stderr");
}

TEST_F(WindowTest, ABoxThatAnotherThreadShowsDoesNotHoldTheEnd) {
    holdPort(5001);
    start();
    TopWindow mainBox;
    ASSERT_TRUE(findWindow("Error", mainBox)) << said();
    press(mainBox.id, "Return");  // the bind message of the main thread: the start-up goes on
    // The accept thread of port 5001 finds no listening socket and shows its own message, in a
    // helper process; nobody answers it.
    TopWindow threadBox;
    ASSERT_TRUE(waitUntil(
        [&] {
            for (const TopWindow& w : windows()) {
                if (w.title == "Error" && w.windowClass != "WENDLOCK") {
                    threadBox = w;
                    return true;
                }
            }
            return false;
        },
        30000))
        << said();
    program.signal(SIGTERM);
    int exitCode = -1;
    ASSERT_TRUE(program.waitExit(10000, exitCode)) << "the end waited for the accept thread's message";
    EXPECT_EQ(exitCode, 0) << said();
    EXPECT_TRUE(windowGone(threadBox.id));
}

// ---- without a display ---------------------------------------------------------------------

TEST(WindowHeadlessTest, ASecondInstanceEndsAtOnceWhileTheFirstRunsAndStartsAgainAfterIt) {
    std::string taken;
    ASSERT_TRUE(testing_support::portsFree({5000, 5001, 5002}, taken)) << taken;
    std::string dir = testing_support::makeTempDir("halvoran-headless");
    int master = -1, slave = -1;
    char name[256] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    close(slave);
    std::vector<std::string> environment = {"HALVORAN_HEADLESS=1", std::string("HALVORAN_COM1=") + name,
                                            "XDG_RUNTIME_DIR=" + dir};
    ChildProcess first;
    ASSERT_TRUE(first.start({HALVORAN_BIN}, environment, dir + "/first"));
    // The first instance is up once it listens for its client.
    int client = -1;
    ASSERT_TRUE(waitUntil([&] { return (client = testing_support::connectLoopback(5000)) >= 0; }, 10000));
    close(client);

    std::vector<std::string> second = environment;
    second[1] = "HALVORAN_COM1=/nonexistent/line";
    ChildProcess other;
    ASSERT_TRUE(other.start({HALVORAN_BIN}, second, dir + "/second"));
    int exitCode = -1;
    ASSERT_TRUE(other.waitExit(10000, exitCode));
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(testing_support::readFile(dir + "/second"), "") << "the second instance opened nothing";
    EXPECT_TRUE(first.running());

    first.signal(SIGTERM);
    ASSERT_TRUE(first.waitExit(20000, exitCode));
    EXPECT_EQ(exitCode, 0);
    // The lock went with the first instance: a new start runs (and finds no line this time).
    ChildProcess third;
    ASSERT_TRUE(third.start({HALVORAN_BIN}, second, dir + "/third"));
    ASSERT_TRUE(third.waitExit(10000, exitCode));
    EXPECT_EQ(exitCode, 255);
    EXPECT_EQ(testing_support::readFile(dir + "/third"), "Error: Unable to open the port\n");
    close(master);
}

TEST(WindowHeadlessTest, ADisplayThatCannotBeOpenedMeansNoWindowAndMessagesOnStandardError) {
    std::string dir = testing_support::makeTempDir("halvoran-nodisplay");
    ChildProcess program;
    ASSERT_TRUE(program.start(
        {HALVORAN_BIN},
        {"DISPLAY=:4242", "HALVORAN_HEADLESS=0", "HALVORAN_COM1=/nonexistent/line", "XDG_RUNTIME_DIR=" + dir},
        dir + "/stderr"));
    int exitCode = -1;
    ASSERT_TRUE(program.waitExit(20000, exitCode));
    EXPECT_EQ(exitCode, 255);
    std::string errors = testing_support::readFile(dir + "/stderr");
    EXPECT_NE(errors.find("cannot open the display \":4242\""), std::string::npos) << errors;
    EXPECT_NE(errors.find("Error: Unable to open the port\n"), std::string::npos) << errors;
}

}  // namespace
