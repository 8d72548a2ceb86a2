// The world in front of the robot's pan/tilt camera head: one coloured target (a disc) moving
// on a path, seen through the camera's image of 80 x 143 pixels.
//
// Angles are in degrees: azimuth positive to the right, elevation positive upwards, both
// relative to the robot's straight-ahead direction. The head's direction follows the servo
// positions (position 127 is straight ahead):
//   pan  = (127 - servo 1 position) * panDegPerUnit    (a smaller servo 1 position looks right)
//   tilt = (127 - servo 2 position) * tiltDegPerUnit   (a larger servo 2 position looks down)
// Image coordinates are 1-based like the camera's: x 1..80 from left to right, y 1..143 from
// top to bottom; the middle of the image is x 40.5, y 72 (inside Halvoran's dead zone x 33..47,
// y 59..85). With the default geometry a servo-1 step of 4 moves the target about 4.9 pixels
// across and a servo-2 step of 4 about 9.7 pixels up or down, so the steps of target following
// bring the target into the dead zone without jumping over it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "sim/frame_format.h"

namespace sim {

struct Rgb {
    uint8_t r = 0, g = 0, b = 0;
    bool operator==(const Rgb&) const = default;
};

// Where the target goes. Times count from the moment the path was set.
struct Path {
    enum class Kind : uint8_t { Static, Line, Circle };
    Kind kind = Kind::Static;
    double az = 0, el = 0;    // static: the point; line: the start; circle: the centre
    double az2 = 0, el2 = 0;  // line: the end
    double radius = 0;        // circle: radius in degrees
    double periodS = 10;      // line: there and back again; circle: one turn (clockwise)
};

// Parses "static AZ EL", "line AZ1 EL1 AZ2 EL2 SECONDS", "circle AZ EL RADIUS SECONDS".
std::optional<Path> parsePath(const std::string& text);
std::string describePath(const Path& path);

struct HeadGeometry {
    double panDegPerUnit = 0.7;
    double tiltDegPerUnit = 0.7;
    double fovXDeg = 46.0;                  // across the 80 columns
    double fovYDeg = 46.0 * 143.0 / 160.0;  // down the 143 rows (pixels twice as wide as tall)
};

struct WorldConfig {
    Path path;                // default: static, straight ahead
    Rgb colour{60, 200, 80};  // a green target (inside "tc 0 255 150 255 0 255")
    double radiusDeg = 4.0;   // the target's angular radius
    bool present = true;      // false: no target anywhere
    HeadGeometry head;
};

// What the camera's colour tracking finds in one image (all zero when nothing is seen).
struct TrackView {
    bool seen = false;
    uint8_t middleX = 0, middleY = 0;        // centroid, 1-based
    uint8_t x1 = 0, y1 = 0, x2 = 0, y2 = 0;  // bounding box corners, 1-based
    uint8_t pixels = 0;                      // (pixel count + 4) / 8, at most 254
    uint8_t confidence = 0;                  // fullConfidence scaled by the visible part of the target
    uint32_t pixelCount = 0;                 // pixels covered, before scaling
};

struct Angles {
    double az = 0, el = 0;
};

class World {
public:
    explicit World(const WorldConfig& config = WorldConfig());

    const WorldConfig& config() const { return config_; }
    // A new path, starting at time nowUs.
    void setPath(const Path& path, uint64_t nowUs);
    const Path& path() const { return config_.path; }
    void setColour(Rgb colour) { config_.colour = colour; }
    void setRadius(double deg) { config_.radiusDeg = deg; }
    void setPresent(bool present) { config_.present = present; }

    // The target's direction at time tUs.
    Angles targetAt(uint64_t tUs) const;
    // The head's direction for the given servo positions.
    Angles headFor(uint8_t servo1, uint8_t servo2) const;
    // Image coordinates (1-based, may lie outside the image) of a direction.
    void toImage(Angles head, Angles direction, double& x, double& y) const;
    // The servo positions that point the head at a direction (unclamped, may lie outside 0..255).
    void servoFor(Angles direction, double& servo1, double& servo2) const;

    // What colour tracking sees at time tUs with the head at the given servo positions.
    TrackView look(uint64_t tUs, uint8_t servo1, uint8_t servo2, uint8_t fullConfidence) const;
    // The camera's picture at time tUs.
    void render(uint64_t tUs, uint8_t servo1, uint8_t servo2, frame::Image& out) const;

private:
    WorldConfig config_;
    uint64_t pathStartUs_ = 0;
};

}  // namespace sim
