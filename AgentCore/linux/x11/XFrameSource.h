#pragma once

#include "FrameSource.h"
#include "Nv12Converter.h"

#include <memory>
#include <vector>

namespace core::x11 {

class ScreenGrabber;
struct Area;

// Frames of the X display: MIT-SHM captures of the root window, Damage and the pointer for what
// changed, RandR for the layout (displays in root-window pixels).
class FrameSource : public core::FrameSource {
public:
    // Throws AgentError when the display cannot be captured.
    FrameSource();
    ~FrameSource() override;

    void watch() override;
    std::vector<DisplayInfo> displays() override;
    Result update(DisplayInfo& display) override;
    Result grab(const DisplayInfo& display, Nv12Buffer& into) override;
    Result grabAfter(const DisplayInfo& display, const VideoFrame& previous, Nv12Buffer& into) override;
    const BgrxImage* still(const DisplayInfo& display) override;
    bool changesAreEvents() const override;
    void waitForChange(std::chrono::steady_clock::time_point until) override;
    void wake() override;
    bool lost() const override;
    QString lostReason() const override;

private:
    std::unique_ptr<ScreenGrabber> grabber_;
    Nv12Converter converter_;
    // Something other than the pointer may have changed on the screen since the last full grab.
    bool stale_ = true;
    std::vector<Area> changed_; // scratch for grabAfter()
};

} // namespace core::x11
