#pragma once

#include "Nv12Converter.h"
#include "Display.h"

#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace core::x11 {

class Connection;
class ShmImage;

struct Area {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    friend bool operator==(const Area&, const Area&) = default;
};

// Reads rectangles of the root window into shared memory (MIT-SHM) on its own X connection, with
// the pointer's image drawn in on request, and reports what changed on the screen (Damage) and in
// the monitor layout (RandR). One thread uses a grabber at a time.
class ScreenGrabber {
public:
    // Null, with a reason in `error`, when the display cannot be opened or lacks MIT-SHM, or its
    // root is not a 24-bit true-colour picture in 32-bit pixels.
    static std::unique_ptr<ScreenGrabber> open(QString* error);
    ~ScreenGrabber();

    // Starts reporting damage and layout changes (needed only by continuous captures).
    void watchChanges();

    struct Changes {
        bool damaged = false;  // something was drawn inside the area
        bool layout = false;   // monitors or the screen size changed
    };
    // Reads the events queued so far. Damage outside `area` is forgotten.
    Changes poll(const Area& area);
    // True when the pointer moved or changed its image inside (or out of) `area` since the last call.
    bool cursorChanged(const Area& area);

    // True once watchChanges() also gets the pointer's moves and image changes as events
    // (XInput 2 and XFixes), so that waitForEvents() sees every change.
    bool changesAreEvents() const { return pointerEvents_; }
    // Blocks until an event is queued, `until` passes or wake() is called.
    void waitForEvents(std::chrono::steady_clock::time_point until);
    // Ends the current (or the next) waitForEvents(). Any thread.
    void wake();

    // Captures `area` of the root window. Null when the server refused (for example while the
    // screen is being resized); the picture lives until the next grab.
    const BgrxImage* grab(const Area& area, bool withCursor);

    // Moves the pointer in the picture of the last grab(area, true) without reading the screen
    // again, for when only the pointer changed: the pixels under its old place are put back and it
    // is drawn where it is now. `changed` receives the rectangles that changed (at most two, in the
    // area's pixels). Null when the last grab was of another area or without the pointer.
    const BgrxImage* redrawCursor(const Area& area, std::vector<Area>& changed);

    // The server went away; nothing will work on this grabber again.
    bool broken() const;
    std::vector<DisplayInfo> monitors() const;

private:
    explicit ScreenGrabber(std::unique_ptr<Connection> x);
    // Draws the pointer into the picture of `area`, keeping what it covers in under_.
    void drawCursor(const Area& area);
    void watchPointer();

    // Reads the next event: the ones waitForEvents() took out of the connection's queue first.
    xcb_generic_event_t* nextEvent();

    std::unique_ptr<Connection> x_;
    // Events already read off the socket (where a poll on it cannot see them), in order.
    std::vector<xcb_generic_event_t*> queued_;
    int wakeFd_ = -1; // an eventfd: wake() counts it up, waitForEvents() drains it
    int xfixesBase_ = -1;
    uint8_t xinputOpcode_ = 0;
    bool pointerEvents_ = false;
    bool pointerActive_ = true; // the pointer may have changed since cursorChanged() last looked
    std::unique_ptr<ShmImage> shm_;
    BgrxImage image_;
    // The area whose picture (pointer drawn in) shm_ holds, if it holds one.
    std::optional<Area> withCursor_;
    // Where the pointer was drawn into that picture (in its pixels) and the pixels it covers.
    Area under_;
    std::vector<uint32_t> underPixels_;
    uint32_t damage_ = 0;
    uint32_t damaged_ = 0; // XFixes region receiving the damage of each poll
    int damageBase_ = -1;
    int randrBase_ = -1;
    bool hasCursor_ = false;
    // The last pointer state seen by cursorChanged.
    struct CursorState {
        int x = 0, y = 0, width = 0, height = 0;
        uint32_t serial = 0;
        bool inside = false;
        friend bool operator==(const CursorState&, const CursorState&) = default;
    };
    std::optional<CursorState> cursor_;
};

} // namespace core::x11
