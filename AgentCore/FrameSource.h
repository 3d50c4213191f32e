#pragma once

#include "Display.h"
#include "FramePool.h"
#include "Nv12Converter.h"

#include <QString>

#include <chrono>
#include <vector>

namespace core {

// The pictures of the desktop for captures: which displays there are, what changed, and the
// picture of one display. Made on the owner's thread, then used by one thread at a time (a
// capture or thumbnail worker). Displays here are in the source's pixels, not points.
class FrameSource {
public:
    enum class Result {
        ok,             // there is (update) or now is (grab) a new picture
        noChange,       // nothing to capture this time
        temporaryError, // try again on the next tick (for example while the screen is resized)
        displayGone,    // the display is no longer part of the desktop
        sourceLost,     // nothing will work on this source again; see lostReason()
    };

    virtual ~FrameSource() = default;

    // Starts following changes (needed by continuous captures only, before the first update()).
    virtual void watch() = 0;

    // The displays now; empty when the source is lost.
    virtual std::vector<DisplayInfo> displays() = 0;

    // Reads what happened since the last call. `display` follows its display when the layout
    // changed (moved or resized in place). ok when its picture (pointer included) changed.
    virtual Result update(DisplayInfo& display) = 0;

    // The current picture of `display`, pointer drawn in, scaled to the buffer's size and
    // converted into it: ok, temporaryError or sourceLost.
    virtual Result grab(const DisplayInfo& display, Nv12Buffer& into) = 0;
    // grab(), given the frame delivered just before for the same display at the buffer's size
    // (unchanged while this runs): a source that knows only a small part of the picture changed
    // since, such as the pointer over a still screen, starts from a copy of it and redoes that part.
    virtual Result grabAfter(const DisplayInfo& display, const VideoFrame& previous, Nv12Buffer& into)
    {
        (void)previous;
        return grab(display, into);
    }

    // The current picture of `display` without the pointer, at full size; null when it cannot be
    // read. Lives until the next call.
    virtual const BgrxImage* still(const DisplayInfo& display) = 0;

    // True when every change (drawing, pointer, layout) arrives as an event that ends
    // waitForChange(), so a capture can sleep until something happens instead of looking at every
    // frame interval.
    virtual bool changesAreEvents() const { return false; }
    // Blocks until something may have changed, `until` passes or wake() is called. Used by the
    // capture thread only when changesAreEvents().
    virtual void waitForChange(std::chrono::steady_clock::time_point until) { (void)until; }
    // Ends a waitForChange() early, or the next one when none runs. Any thread.
    virtual void wake() { }

    // Nothing will work on this source again.
    virtual bool lost() const = 0;
    // Why, as the stop reason of a capture.
    virtual QString lostReason() const = 0;
};

} // namespace core
