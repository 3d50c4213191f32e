#pragma once

#include "Display.h"

#include <cstdint>
#include <optional>
#include <vector>

// Pure coordinate arithmetic shared by input, applications and capture. Coordinates are global
// points with the origin at the top-left corner of the main display, y growing downwards.
namespace core::Geometry {

struct Point {
    double x = 0;
    double y = 0;
    friend bool operator==(const Point&, const Point&) = default;
};

struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    double maxX() const { return x + width; }
    double maxY() const { return y + height; }
    friend bool operator==(const Rect&, const Rect&) = default;
};

struct Size {
    int64_t width = 0;
    int64_t height = 0;
    friend bool operator==(const Size&, const Size&) = default;
};

// The display's frame: origin (x, y), size (width, height).
Rect frame(const DisplayInfo& display);

// A display measured in X pixels as clients see it: position and size in points, the pixels
// divided by its scale.
DisplayInfo inPoints(const DisplayInfo& pixels);
// The frame of a display given in points, in X pixels (points times the scale, to whole pixels):
// what input posting and capture work in.
Rect pixelFrame(const DisplayInfo& points);

// Normalised (0..1) stream coordinates to a global point, clamped to [min, max - 1] on each axis.
Point toGlobal(double x, double y, const Rect& frame);

// A relative move by fractions of the frame's size, clamped like toGlobal.
Point moveBy(const Point& point, double dx, double dy, const Rect& frame);

// The first display whose frame contains the point (minimum edges inside, maximum edges outside).
std::optional<uint32_t> display(const Point& containing, const std::vector<DisplayInfo>& displays);

// True when a display is streaming and it is no longer in the list.
bool streamLost(std::optional<uint32_t> streaming, const std::vector<DisplayInfo>& displays);

// Fits the longest edge to maxEdge (0 or less: no limit) keeping the aspect ratio; both results
// are even and at least 2.
Size scaledSize(int64_t width, int64_t height, int64_t maxEdge);

} // namespace core::Geometry
