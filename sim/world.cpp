#include "sim/world.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <vector>

namespace sim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kMiddleX = (1.0 + frame::kWidth) / 2.0;   // 40.5
constexpr double kMiddleY = (1.0 + frame::kHeight) / 2.0;  // 72

bool finite(double v) { return std::isfinite(v); }

}  // namespace

std::optional<Path> parsePath(const std::string& text) {
    std::istringstream in(text);
    std::string kind;
    if (!(in >> kind)) return std::nullopt;
    std::vector<double> v;
    double d;
    while (in >> d) v.push_back(d);
    if (!in.eof()) return std::nullopt;  // something that is not a number
    for (double x : v)
        if (!finite(x)) return std::nullopt;
    Path p;
    if (kind == "static" && v.size() == 2) {
        p.kind = Path::Kind::Static;
        p.az = v[0];
        p.el = v[1];
    } else if (kind == "line" && v.size() == 5 && v[4] > 0) {
        p.kind = Path::Kind::Line;
        p.az = v[0];
        p.el = v[1];
        p.az2 = v[2];
        p.el2 = v[3];
        p.periodS = v[4];
    } else if (kind == "circle" && v.size() == 4 && v[3] > 0) {
        p.kind = Path::Kind::Circle;
        p.az = v[0];
        p.el = v[1];
        p.radius = v[2];
        p.periodS = v[3];
    } else {
        return std::nullopt;
    }
    return p;
}

std::string describePath(const Path& p) {
    char buf[160];
    switch (p.kind) {
        case Path::Kind::Static: std::snprintf(buf, sizeof buf, "static %g %g", p.az, p.el); break;
        case Path::Kind::Line:
            std::snprintf(buf, sizeof buf, "line %g %g %g %g %g", p.az, p.el, p.az2, p.el2, p.periodS);
            break;
        case Path::Kind::Circle:
            std::snprintf(buf, sizeof buf, "circle %g %g %g %g", p.az, p.el, p.radius, p.periodS);
            break;
    }
    return buf;
}

World::World(const WorldConfig& config) : config_(config) {}

void World::setPath(const Path& path, uint64_t nowUs) {
    config_.path = path;
    pathStartUs_ = nowUs;
}

Angles World::targetAt(uint64_t tUs) const {
    const Path& p = config_.path;
    const double t = tUs >= pathStartUs_ ? double(tUs - pathStartUs_) / 1e6 : 0.0;
    switch (p.kind) {
        case Path::Kind::Static: return {p.az, p.el};
        case Path::Kind::Line: {
            const double phase = std::fmod(t / p.periodS, 1.0);
            const double u = phase < 0.5 ? 2 * phase : 2 - 2 * phase;
            return {p.az + (p.az2 - p.az) * u, p.el + (p.el2 - p.el) * u};
        }
        case Path::Kind::Circle: {
            const double a = 2 * kPi * std::fmod(t / p.periodS, 1.0);
            return {p.az + p.radius * std::sin(a), p.el + p.radius * std::cos(a)};
        }
    }
    return {};
}

Angles World::headFor(uint8_t servo1, uint8_t servo2) const {
    return {(127.0 - servo1) * config_.head.panDegPerUnit, (127.0 - servo2) * config_.head.tiltDegPerUnit};
}

void World::toImage(Angles head, Angles dir, double& x, double& y) const {
    const double pxX = frame::kWidth / config_.head.fovXDeg;
    const double pxY = frame::kHeight / config_.head.fovYDeg;
    x = kMiddleX + (dir.az - head.az) * pxX;
    y = kMiddleY - (dir.el - head.el) * pxY;
}

void World::servoFor(Angles dir, double& servo1, double& servo2) const {
    servo1 = 127.0 - dir.az / config_.head.panDegPerUnit;
    servo2 = 127.0 - dir.el / config_.head.tiltDegPerUnit;
}

TrackView World::look(uint64_t tUs, uint8_t servo1, uint8_t servo2, uint8_t fullConfidence) const {
    TrackView v;
    if (!config_.present || config_.radiusDeg <= 0) return v;
    const double pxX = frame::kWidth / config_.head.fovXDeg;
    const double pxY = frame::kHeight / config_.head.fovYDeg;
    double xc, yc;
    toImage(headFor(servo1, servo2), targetAt(tUs), xc, yc);
    const double rx = config_.radiusDeg * pxX;
    const double ry = config_.radiusDeg * pxY;
    if (!finite(xc) || !finite(yc)) return v;
    // Every pixel of the target's ellipse, counting those inside the picture.
    const int xa = int(std::floor(xc - rx)), xb = int(std::ceil(xc + rx));
    const int ya = int(std::floor(yc - ry)), yb = int(std::ceil(yc + ry));
    if (xb < 1 || xa > frame::kWidth || yb < 1 || ya > frame::kHeight) return v;
    uint32_t total = 0, n = 0;
    double sx = 0, sy = 0;
    int minX = 1000, minY = 1000, maxX = 0, maxY = 0;
    for (int y = ya; y <= yb; ++y) {
        const double dy = (y - yc) / ry;
        for (int x = xa; x <= xb; ++x) {
            const double dx = (x - xc) / rx;
            if (dx * dx + dy * dy > 1.0) continue;
            ++total;
            if (x < 1 || x > frame::kWidth || y < 1 || y > frame::kHeight) continue;
            ++n;
            sx += x;
            sy += y;
            minX = std::min(minX, x);
            maxX = std::max(maxX, x);
            minY = std::min(minY, y);
            maxY = std::max(maxY, y);
        }
    }
    if (n == 0) return v;
    v.seen = true;
    v.pixelCount = n;
    v.middleX = uint8_t(std::clamp(int(std::lround(sx / n)), 1, frame::kWidth));
    v.middleY = uint8_t(std::clamp(int(std::lround(sy / n)), 1, frame::kHeight));
    v.x1 = uint8_t(minX);
    v.y1 = uint8_t(minY);
    v.x2 = uint8_t(maxX);
    v.y2 = uint8_t(maxY);
    v.pixels = uint8_t(std::min<uint32_t>(254, (n + 4) / 8));
    int c = int(std::lround(double(fullConfidence) * n / total));
    c = std::clamp(c, 1, 254);
    v.confidence = uint8_t(c);
    return v;
}

void World::render(uint64_t tUs, uint8_t servo1, uint8_t servo2, frame::Image& out) const {
    out = frame::Image();
    const double pxX = frame::kWidth / config_.head.fovXDeg;
    const double pxY = frame::kHeight / config_.head.fovYDeg;
    const Angles head = headFor(servo1, servo2);
    const Angles target = targetAt(tUs);
    const double r = config_.radiusDeg;
    for (int y = 1; y <= frame::kHeight; ++y) {
        const double el = head.el - (y - kMiddleY) / pxY;
        for (int x = 1; x <= frame::kWidth; ++x) {
            const double az = head.az + (x - kMiddleX) / pxX;
            int c[3];
            if (el >= 0) {  // sky, lighter towards the horizon
                const double k = std::min(1.0, el / 45.0);
                c[0] = int(150 - 70 * k);
                c[1] = int(170 - 60 * k);
                c[2] = int(225 - 15 * k);
            } else {  // ground, a sandy floor with darker lines every 5 degrees of depression
                const double k = std::min(1.0, -el / 45.0);
                c[0] = int(150 - 50 * k);
                c[1] = int(120 - 40 * k);
                c[2] = int(90 - 30 * k);
                if (std::fmod(-el, 5.0) < 0.5 / pxY * 2) {
                    c[0] -= 25;
                    c[1] -= 25;
                    c[2] -= 20;
                }
            }
            // Posts every 15 degrees of azimuth, so that panning shows.
            const double m = std::fmod(std::fabs(az) + 0.5 / pxX, 15.0);
            if (m < 1.0 / pxX) {
                c[0] = 60;
                c[1] = 60;
                c[2] = 70;
            }
            if (config_.present) {
                const double dx = az - target.az, dy = el - target.el;
                if (dx * dx + dy * dy <= r * r) {
                    c[0] = config_.colour.r;
                    c[1] = config_.colour.g;
                    c[2] = config_.colour.b;
                }
            }
            uint8_t* p = out.at(x - 1, y - 1);
            for (int i = 0; i < 3; ++i) p[i] = frame::pixelByte(c[i]);
        }
    }
}

}  // namespace sim
