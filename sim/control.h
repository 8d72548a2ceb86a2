// The run-time commands of halvoran-sim (its control channel), one text command per line and
// one reply line each. Kept in the library so that they are unit-tested.
//
//   state                         one JSON object: time, channel, link, servos, drive, camera,
//                                 world, faults, counts, com2
//   fault DEVICE KIND [VALUE]     DEVICE: camera, servo, drive or link
//                                 KIND and VALUE:
//                                   silent [on|off]          (default on)
//                                   slow [on|off|MS]         (on: 200 ms)
//                                   garble [on|off|PERCENT]  (on: 10 %)
//                                   drop [on|off|PERCENT]    (on: 10 %)
//                                   unplugged [on|off]       (link only; halvoran-sim hangs up
//                                                             the pty, and makes a fresh one at
//                                                             the same --link path on "off")
//                                   dropreplies N|off        (servo and drive only: the next N
//                                                             replies are lost, the requests are
//                                                             still carried out)
//                                   clear                    (every fault of that device)
//   fault clear                   every fault of every device
//   world target AZ EL            the target stands still at azimuth AZ, elevation EL (degrees;
//                                 right and up are positive; the head looks at 0 0 with both
//                                 servos at 127)
//   world path static AZ EL | line AZ1 EL1 AZ2 EL2 SECONDS | circle AZ EL RADIUS SECONDS
//   world colour R G B            the target's colour (0..255 each)
//   world size DEG                the target's angular radius
//   world present on|off          put the target into the world or take it away
//   note TEXT                     writes TEXT into the trace as an event
//   help                          the list of commands, on one line
//   quit                          replies "ok" and ends halvoran-sim (exit 0)
// Replies: "ok" (sometimes followed by a detail), "error: <reason>", or the JSON of state.
#pragma once

#include <string>
#include <vector>

#include "sim/com2_device.h"
#include "sim/robot.h"

namespace sim {

struct ControlReply {
    std::string text;   // the reply line, without newline
    bool quit = false;  // "quit" was asked for
};

// Applies "DEVICE KIND [VALUE]" (the words after "fault") to the robot. False with a reason.
bool applyFault(Robot& robot, const std::vector<std::string>& words, std::string& error);

class Control {
public:
    Control(Robot& robot, Com2Device* com2) : robot_(robot), com2_(com2) {}
    // Facts that only halvoran-sim knows, shown by "state" under "link".
    void setPtys(const std::string& com1, const std::string& com2) {
        com1Pty_ = com1;
        com2Pty_ = com2;
    }
    ControlReply execute(const std::string& line);
    std::string stateJson() const;

private:
    Robot& robot_;
    Com2Device* com2_;
    std::string com1Pty_, com2Pty_;
};

// Splits a line at spaces and tabs.
std::vector<std::string> splitWords(const std::string& line);

}  // namespace sim
