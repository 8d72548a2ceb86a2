#include "client/teleop.h"

#include <curses.h>

#include <array>
#include <chrono>

namespace halvoran_client {

void TeleopState::press(TeleopKey key) {
    const int s = settings_.speedStep;
    const int v = settings_.servoStep;
    switch (key) {
        case TeleopKey::Faster:
        case TeleopKey::Slower: {
            int before = speed_;
            speed_ = clampTo(speed_ + (key == TeleopKey::Faster ? s : -s), -128, 127);
            // Coming back to 0 stops the drive rather than leaving it running at speed 0.
            if (speed_ == 0 && before != 0) stopPending_ = true;
            break;
        }
        case TeleopKey::SteerLeft:
            steer_ = clampTo(steer_ - v, 0, 255);
            steerMoved_ = true;
            break;
        case TeleopKey::SteerRight:
            steer_ = clampTo(steer_ + v, 0, 255);
            steerMoved_ = true;
            break;
        case TeleopKey::PanLeft:
            pan_ = clampTo(pan_ - v, 0, 255);
            panMoved_ = true;
            break;
        case TeleopKey::PanRight:
            pan_ = clampTo(pan_ + v, 0, 255);
            panMoved_ = true;
            break;
        case TeleopKey::TiltUp:
            tilt_ = clampTo(tilt_ + v, 0, 255);
            tiltMoved_ = true;
            break;
        case TeleopKey::TiltDown:
            tilt_ = clampTo(tilt_ - v, 0, 255);
            tiltMoved_ = true;
            break;
        case TeleopKey::Centre:
            steer_ = pan_ = tilt_ = 127;
            steerMoved_ = panMoved_ = tiltMoved_ = true;
            break;
        case TeleopKey::Stop:
            speed_ = 0;
            stopPending_ = true;
            break;
        case TeleopKey::ToggleTracking: trackingToggle_ = true; break;
        case TeleopKey::Quit:
            speed_ = 0;
            stopPending_ = true;
            quit_ = true;
            break;
    }
}

DriveRequest TeleopState::nextRequest() {
    DriveRequest r;
    r.stop = stopPending_;
    if (speed_ != 0) r.speed = speed_;
    if (steerMoved_) r.servo0 = steer_;
    if (panMoved_) r.servo1 = pan_;
    if (tiltMoved_) r.servo2 = tilt_;
    stopPending_ = steerMoved_ = panMoved_ = tiltMoved_ = false;
    return r;
}

bool TeleopState::takeTrackingToggle() {
    bool toggle = trackingToggle_;
    trackingToggle_ = false;
    return toggle;
}

namespace {

using Clock = std::chrono::steady_clock;

bool keyOf(int ch, TeleopKey& key) {
    switch (ch) {
        case KEY_UP: key = TeleopKey::Faster; return true;
        case KEY_DOWN: key = TeleopKey::Slower; return true;
        case KEY_LEFT: key = TeleopKey::SteerLeft; return true;
        case KEY_RIGHT: key = TeleopKey::SteerRight; return true;
        case 'a':
        case 'A': key = TeleopKey::PanLeft; return true;
        case 'd':
        case 'D': key = TeleopKey::PanRight; return true;
        case 'w':
        case 'W': key = TeleopKey::TiltUp; return true;
        case 's':
        case 'S': key = TeleopKey::TiltDown; return true;
        case 'c':
        case 'C': key = TeleopKey::Centre; return true;
        case ' ': key = TeleopKey::Stop; return true;
        case 't':
        case 'T': key = TeleopKey::ToggleTracking; return true;
        case 'q':
        case 'Q': key = TeleopKey::Quit; return true;
        default: return false;
    }
}

// The curses screen, set up for the life of the object.
class Screen {
public:
    Screen() {
        initscr();
        cbreak();
        noecho();
        keypad(stdscr, TRUE);
        timeout(20);  // getch waits this many ms, so the drive commands keep their pace
        curs_set(0);
    }
    ~Screen() { endwin(); }
    Screen(const Screen&) = delete;
    Screen& operator=(const Screen&) = delete;
};

void draw(const TeleopState& state, bool tracking, const std::string& status, const std::string& trackLine,
          long commands) {
    erase();
    mvprintw(0, 0, "halvoran-client teleop");
    mvprintw(1, 0, "Up/Down speed  Left/Right steer  a/d pan  w/s tilt  c centre  t tracking  space stop  q quit");
    mvprintw(3, 0, "speed %d  steer %d  pan %d  tilt %d  tracking %s", state.speed(), state.steer(), state.pan(),
             state.tilt(), tracking ? "on" : "off");
    mvprintw(4, 0, "status: %s", status.c_str());
    mvprintw(5, 0, "drive commands sent: %ld", commands);
    if (tracking) mvprintw(6, 0, "track: %s", trackLine.empty() ? "(no report yet)" : trackLine.c_str());
    refresh();
}

}  // namespace

Outcome runTeleop(Session& session, const TeleopSettings& settings) {
    TeleopState state(settings);
    bool tracking = false;
    std::string status = "(no reply yet)";
    std::string trackLine;
    long commands = 0;
    Outcome lost;
    {
        Screen screen;
        auto next = Clock::now();
        // Reports are taken before each exchange too, which throws away what it did not ask for.
        auto takeReports = [&] {
            std::array<uint8_t, 8> bytes{};
            while (tracking && session.readTrackReport(bytes, 0) == ReadStatus::Ok) {
                trackLine = formatTrackReport(trackReportOf(bytes));
            }
        };
        while (lost.ok()) {
            int ch = getch();
            TeleopKey key{};
            bool changed = false;
            if (ch != ERR && keyOf(ch, key)) {
                state.press(key);
                changed = true;
            }
            if (interruptRequested()) {
                clearInterrupt();
                state.press(TeleopKey::Quit);
                changed = true;
            }
            if (state.quitRequested()) break;

            std::vector<uint8_t> reply;
            takeReports();
            if (state.takeTrackingToggle()) {
                Outcome outcome = tracking ? stopTracking(session, settings.replyTimeoutMs)
                                           : exchange(session, frameCommand(windowTrackPacket(TrackMode::Both)), reply,
                                                      settings.replyTimeoutMs);
                if (outcome.ok() && !tracking) outcome = expectDone(reply);
                if (outcome.ok()) {
                    tracking = !tracking;
                    trackLine.clear();
                } else {
                    status = outcome.message;
                }
                if (outcome.failure == Failure::Connection) lost = outcome;
            }

            // A key sends at once; otherwise the drive command keeps its steady pace.
            if (lost.ok() && (changed || Clock::now() >= next)) {
                next = Clock::now() + std::chrono::milliseconds(settings.periodMs);
                std::vector<uint8_t> packet;
                std::string error;
                drivePacket(state.nextRequest(), packet, error);
                Outcome outcome = exchange(session, frameCommand(packet), reply, settings.replyTimeoutMs);
                ++commands;
                DriveStatus driveStatus;
                if (outcome.failure == Failure::Connection) {
                    lost = outcome;
                } else if (!outcome.ok()) {
                    status = outcome.message;
                } else if (!decodeDriveStatus(reply, driveStatus, error)) {
                    status = error;
                } else if (driveStatus.result != RESULT_DONE) {
                    status = resultText(driveStatus.result);
                } else {
                    status = "done: " + describeDriveStatus(driveStatus);
                }
            }

            if (lost.ok()) takeReports();
            draw(state, tracking, status, trackLine, commands);
        }
    }
    if (!lost.ok()) return lost;

    // Leave the robot standing: stop the drive and the tracking, then end the session.
    std::vector<uint8_t> packet, reply;
    std::string error;
    drivePacket(state.nextRequest(), packet, error);
    Outcome outcome = exchange(session, frameCommand(packet), reply, settings.replyTimeoutMs);
    if (tracking && outcome.failure != Failure::Connection) {
        stopTracking(session, settings.replyTimeoutMs);
    }
    if (outcome.failure != Failure::Connection && session.sendQuit()) session.waitForClose(3000);
    session.close();
    if (outcome.failure == Failure::Connection) return outcome;
    return {};
}

}  // namespace halvoran_client
