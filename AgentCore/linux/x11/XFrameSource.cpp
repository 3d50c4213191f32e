#include "XFrameSource.h"

#include "Log.h"
#include "MonotonicClock.h"
#include "XScreenGrabber.h"

#include <algorithm>

namespace core::x11 {

namespace {

const QString kXGone = QStringLiteral("The connection to the X display was lost.");

Area area(const DisplayInfo& d) { return {int(d.x), int(d.y), int(d.width), int(d.height)}; }

} // namespace

FrameSource::FrameSource()
{
    QString error;
    grabber_ = ScreenGrabber::open(&error);
    if (!grabber_)
        throw AgentError(error);
}

FrameSource::~FrameSource() = default;

void FrameSource::watch() { grabber_->watchChanges(); }

std::vector<DisplayInfo> FrameSource::displays()
{
    std::vector<DisplayInfo> now = grabber_->monitors();
    return grabber_->broken() ? std::vector<DisplayInfo>{} : now;
}

FrameSource::Result FrameSource::update(DisplayInfo& display)
{
    if (grabber_->broken())
        return Result::sourceLost;
    const ScreenGrabber::Changes changes = grabber_->poll(area(display));
    bool moved = false;
    if (changes.layout) {
        const std::vector<DisplayInfo> now = grabber_->monitors();
        if (grabber_->broken())
            return Result::sourceLost;
        const auto it = std::find_if(now.begin(), now.end(), [&](const DisplayInfo& d) { return d.id == display.id; });
        if (it == now.end())
            return Result::displayGone;
        moved = *it != display;
        display = *it;
    }
    const bool cursor = grabber_->cursorChanged(area(display));
    stale_ = stale_ || changes.damaged || moved;
    return moved || cursor || changes.damaged ? Result::ok : Result::noChange;
}

FrameSource::Result FrameSource::grab(const DisplayInfo& display, Nv12Buffer& into)
{
    const int64_t began = monotonicNs();
    const BgrxImage* image = grabber_->grab(area(display), true);
    if (!image)
        return grabber_->broken() ? Result::sourceLost : Result::temporaryError;
    const int64_t grabbed = monotonicNs();
    const BgrxImage scaled = converter_.scale(*image, into.frame.width, into.frame.height);
    converter_.toNv12(scaled, into);
    into.frame.captureNs = grabbed - began;
    into.frame.convertNs = monotonicNs() - grabbed;
    stale_ = false;
    return Result::ok;
}

FrameSource::Result FrameSource::grabAfter(const DisplayInfo& display, const VideoFrame& previous, Nv12Buffer& into)
{
    if (stale_ || previous.width != into.frame.width || previous.height != into.frame.height)
        return grab(display, into);
    // Only the pointer changed: the picture read last is still the screen, and the pointer is
    // moved in it, converting only where it was and where it is (a few thousand pixels instead
    // of millions, and the X server copies nothing).
    const int64_t began = monotonicNs();
    changed_.clear();
    const BgrxImage* image = grabber_->redrawCursor(area(display), changed_);
    if (!image)
        return grab(display, into);
    const int64_t drawn = monotonicNs();
    Nv12Converter::copy(previous, into);
    for (const Area& a : changed_) {
        const PixelRect part = Nv12Converter::affected({a.x, a.y, a.width, a.height}, image->width, image->height,
                                                       into.frame.width, into.frame.height);
        if (part.empty())
            continue;
        converter_.toNv12(converter_.scale(*image, into.frame.width, into.frame.height, part), into, part);
    }
    into.frame.captureNs = drawn - began;
    into.frame.convertNs = monotonicNs() - drawn;
    return Result::ok;
}

const BgrxImage* FrameSource::still(const DisplayInfo& display) { return grabber_->grab(area(display), false); }

bool FrameSource::changesAreEvents() const { return grabber_->changesAreEvents(); }

void FrameSource::waitForChange(std::chrono::steady_clock::time_point until) { grabber_->waitForEvents(until); }

void FrameSource::wake() { grabber_->wake(); }

bool FrameSource::lost() const { return grabber_->broken(); }

QString FrameSource::lostReason() const { return kXGone; }

} // namespace core::x11
