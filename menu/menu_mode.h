// The menu mode: a second way of running the robot, started from the window's File menu.
//
// Start creates the mode's own objects: a serial port on "COM1:" (the camera), a debug port
// 4999, the endpoints 5000 to 5003, the four named queues and their senders (the sender of
// "com2_queue" with its own serial port "COM2:", where the drive device listens). Follow puts
// the camera into colour tracking and then steers the robot from the camera's tracking packets.
// All output is queued: camera lines on "com1_queue", 9-byte drive packets on "com2_queue",
// text and camera answers for the client of port 5000 on "tcpip5000_queue". Each item carries
// the handler that runs on the sender's thread after the item has gone out: a camera line's
// handler collects the camera's answer. Debug text goes straight to the client of port 4999.
//
// Threads: the menu commands run on the main thread; the set-up and follow-line threads on
// their own; the handlers on the senders' threads. The objects are published by the set-up
// thread (`phase` becomes Ready) and released only by stopMenuMode after every thread that
// uses them has ended.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "menu/out_queue.h"
#include "menu/queue_sender.h"
#include "platform/platform.h"

class SerialPort;
class TcpEndpoint;

constexpr int DEBUG_PORT = 4999;
constexpr int MENU_FIRST_PORT = 5000;  // the four endpoints: 5000, 5001, 5002, 5003

// The senders, in the order of their queues.
enum MenuSender { SENDER_COM1 = 0, SENDER_COM2 = 1, SENDER_TCPIP5000 = 2, SENDER_TCPIP5001 = 3 };

struct MenuModeState {
    enum Phase { Stopped = 0, Starting = 1, Ready = 2 };

    SerialPort* menuSerialPort = nullptr;
    TcpEndpoint* debugEndpoint = nullptr;
    TcpEndpoint* menuEndpoints[4] = {nullptr, nullptr, nullptr, nullptr};
    OutQueue* com1Queue = nullptr;
    OutQueue* com2Queue = nullptr;
    OutQueue* tcpip5000Queue = nullptr;
    OutQueue* tcpip5001Queue = nullptr;
    // Set by STOP; ends the follow loop. Cleared by Follow, so that a STOP pressed while the
    // follow set-up still runs ends the loop as soon as it starts.
    std::atomic<bool> followStop{false};
    // The last speed (value 1 with its flag) queued for the drive device was not zero: the drive
    // may run, and Exit or the program's end queue the flagged speed 0 before the drive's sender
    // stops.
    std::atomic<bool> driveMayRun{false};
    // Orders STOP against the follow set-up's drive packet: a STOP that came first keeps the
    // drive from starting at all.
    std::mutex driveOrder;
    // Follow's drive watch: the drive value that Follow sent holds for at most a second without
    // a tracking packet that confirms the target (followConfirmedUs, monotonic); then the
    // flagged speed 0 goes out and followHeld is set until the target is seen again, when
    // Follow's drive value goes out once more. followDriving: Follow's drive value is in force.
    std::atomic<bool> followDriving{false};
    std::atomic<bool> followHeld{false};
    std::atomic<uint64_t> followConfirmedUs{0};

    // The drive device's port, written by the sender of "com2_queue".
    SerialPort* com2Port = nullptr;
    QueueSender senders[4];
    // Stopped until Start; Starting while the set-up thread runs; Ready once the objects exist.
    std::atomic<int> phase{Stopped};
    // Set by Exit: the follow loop and the senders end.
    std::atomic<bool> stopping{false};
    platform::ThreadHandle setUpThread{};
    platform::ThreadHandle followLineThread{};
};

extern MenuModeState menuMode;

// ---- menu commands (main thread) -------------------------------------------------------

// Start: runs the set-up on its own thread.
void startMenuMode();
// Follow: queues the drive packet and the camera set-up on the follow-line thread.
void startFollowLine();
// STOP: ends the follow loop and queues a speed of 0.
void stopFollowLine();
// Exit: ends the mode's threads and closes and releases its objects; takes 750 ms in pauses.
// A drive that may run gets the flagged speed 0 before its sender stops.
void stopMenuMode();
// The program's end: what Exit does, without its pauses, when the mode was started.
void endMenuMode();

// ---- the threads' work, also callable on any one thread --------------------------------

// Creates the objects (ports, endpoints, queues) without starting the senders.
void createMenuObjects();
// Starts the four senders over the objects.
void startMenuSenders();
// The follow-line thread's work: the drive packet, a flush, the ten camera lines.
void followLine();

// ---- drive packets on "com2_queue" -----------------------------------------------------

// 0xFF, values 1 to 5, flags, checksum (sum of bytes 1 to 6 modulo 256), 0xFF. Flags bit n is
// set when value n + 1 is not zero.
void queueCom2Packet(uint8_t v1, uint8_t v2, uint8_t v3, uint8_t v4, uint8_t v5, QueueHandler handler);
// The same with the flags byte given by the caller.
void queueCom2PacketRaw(uint8_t v1, uint8_t v2, uint8_t v3, uint8_t v4, uint8_t v5, uint8_t flags,
                        QueueHandler handler);
// Value 1 (drive); zero is sent flagged.
void queueSpeed(uint8_t value, QueueHandler handler);
// Value 2 (steering); zero is sent flagged.
void queueSteer(uint8_t value, QueueHandler handler);

// ---- completion handlers ---------------------------------------------------------------

// Collects the camera's answer up to its prompt ':' and queues it, framed 0xFF 0x37 ... 0xFF
// 0x37 with every 0xFF doubled, for the client of port 5000; after 10000 empty polls, the
// timeout message instead.
int cameraExchange();
// Steers from the camera's tracking packets until STOP (or Exit).
int followLoop();
// Follow's drive watch, run by every wait of the camera's handlers: once Follow's drive value
// has gone a second without a tracking packet that confirms the target, the flagged speed 0 is
// queued.
void followDriveWatch();
// A tracking packet's six data bytes (x1, y1, x2, y2, pixels, confidence) confirm the target
// when its pixel count and confidence are not 0.
bool followTargetSeen(const uint8_t data[6]);
// Discards what the menu mode's port has received.
int flushHandler();
int noopHandler();

// ---- debug output on port 4999 (nothing without a client) ------------------------------

void debugText(const char* text);
void debugBytes(const uint8_t* bytes, int count);
// The byte as a signed 8-bit value in decimal.
void debugNumber(uint8_t value);
