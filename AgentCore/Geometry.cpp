#include "Geometry.h"

#include <algorithm>
#include <cmath>

namespace core::Geometry {

namespace {

Point clamp(double x, double y, const Rect& f)
{
    x = std::min(std::max(x, f.x), f.maxX() - 1);
    y = std::min(std::max(y, f.y), f.maxY() - 1);
    return {x, y};
}

int64_t evenAtLeastTwo(int64_t v)
{
    return std::max<int64_t>(v, 2) & ~int64_t(1);
}

} // namespace

Rect frame(const DisplayInfo& display)
{
    return {display.x, display.y, display.width, display.height};
}

DisplayInfo inPoints(const DisplayInfo& pixels)
{
    const double scale = pixels.scale > 0 ? pixels.scale : 1;
    DisplayInfo points = pixels;
    points.x = pixels.x / scale;
    points.y = pixels.y / scale;
    points.width = pixels.width / scale;
    points.height = pixels.height / scale;
    return points;
}

Rect pixelFrame(const DisplayInfo& points)
{
    const double scale = points.scale > 0 ? points.scale : 1;
    const auto px = [scale](double v) { return double(std::llround(v * scale)); };
    return {px(points.x), px(points.y), px(points.width), px(points.height)};
}

Point toGlobal(double x, double y, const Rect& frame)
{
    return clamp(frame.x + x * frame.width, frame.y + y * frame.height, frame);
}

Point moveBy(const Point& point, double dx, double dy, const Rect& frame)
{
    return clamp(point.x + dx * frame.width, point.y + dy * frame.height, frame);
}

std::optional<uint32_t> display(const Point& p, const std::vector<DisplayInfo>& displays)
{
    for (const DisplayInfo& d : displays) {
        const Rect f = frame(d);
        // An empty rectangle contains nothing, as with CGRectContainsPoint.
        if (f.width > 0 && f.height > 0 && p.x >= f.x && p.x < f.maxX() && p.y >= f.y && p.y < f.maxY())
            return d.id;
    }
    return std::nullopt;
}

bool streamLost(std::optional<uint32_t> streaming, const std::vector<DisplayInfo>& displays)
{
    if (!streaming)
        return false;
    return std::none_of(displays.begin(), displays.end(),
                        [&](const DisplayInfo& d) { return d.id == *streaming; });
}

Size scaledSize(int64_t width, int64_t height, int64_t maxEdge)
{
    double f = 1;
    const int64_t longest = std::max(width, height);
    if (maxEdge > 0 && maxEdge < longest)
        f = double(maxEdge) / double(longest);
    const auto w = static_cast<int64_t>(std::round(f * double(width)));
    const auto h = static_cast<int64_t>(std::round(f * double(height)));
    return {evenAtLeastTwo(w), evenAtLeastTwo(h)};
}

} // namespace core::Geometry
