#pragma once

#include <QRect>

#include <cstdint>
#include <memory>

namespace core::x11 {
class Connection;
}

// A plain X client that puts solid-colour rectangles on the screen at known places: each is an
// override-redirect window (the window manager leaves it where it is) whose background the server
// paints. Colours are 0xRRGGBB on the 24-bit true-colour screen.
class XPainter {
public:
    XPainter(); // connects to $DISPLAY
    ~XPainter();

    bool connected() const;
    // A window at `r` in root coordinates; returns its id.
    uint32_t rect(const QRect& r, uint32_t rgb);
    // Repaints a window in another colour.
    void recolour(uint32_t window, uint32_t rgb);
    void movePointer(int x, int y);
    // Over `area`, the pointer becomes a 16x16 image of one premultiplied 0xAARRGGBB colour, hot
    // spot in its top left corner (an unmanaged input-only window carries it, so no window
    // manager's own root pointer overrides it).
    bool cursorOver(const QRect& area, uint32_t argb);
    // Returns once the server has processed everything sent so far.
    void sync();

private:
    std::unique_ptr<core::x11::Connection> x_;
};

// Two 0xRRGGBB colours agree within `tolerance` on every channel (video and JPEG round trips
// shift colours a little).
bool colourNear(uint32_t got, uint32_t want, int tolerance = 24);
