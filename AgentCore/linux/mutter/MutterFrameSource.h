#pragma once

#include "FrameSource.h"
#include "MutterMonitors.h"
#include "Nv12Converter.h"

#include <QDBusConnection>

#include <atomic>
#include <memory>

namespace core::mutter {

class CastSession;
class CastSignals;
class LatestFrame;
class PipeWireFrames;

// Frames of one of Mutter's monitors at a time: a screen cast of the display asked for (cursor
// drawn in) read from PipeWire. Asking for another display moves the cast to it. Displays are in
// Mutter's pixels.
class FrameSource : public core::FrameSource {
public:
    FrameSource(QDBusConnection bus, std::shared_ptr<CastSignals> announced);
    ~FrameSource() override;

    void watch() override { }
    std::vector<DisplayInfo> displays() override;
    Result update(DisplayInfo& display) override;
    Result grab(const DisplayInfo& display, Nv12Buffer& into) override;
    const BgrxImage* still(const DisplayInfo& display) override;
    bool changesAreEvents() const override { return true; }
    void waitForChange(std::chrono::steady_clock::time_point until) override;
    void wake() override;
    bool lost() const override { return lost_; }
    QString lostReason() const override;

private:
    // The cast of `display` runs (started or moved here when needed); false when it cannot, and
    // the source is then lost.
    bool follow(const DisplayInfo& display);
    void lose(const QString& reason);

    QDBusConnection bus_;
    std::shared_ptr<CastSignals> signals_;
    std::vector<Monitor> monitors_;
    quint64 layoutSerial_ = 0;
    std::unique_ptr<CastSession> cast_;
    const std::shared_ptr<LatestFrame> latest_;
    std::unique_ptr<PipeWireFrames> frames_;
    quint64 seen_ = 0;
    std::atomic<bool> lost_{false};
    QString lostReason_;
    Nv12Converter converter_;
    std::vector<uint8_t> still_;
    BgrxImage stillImage_;
};

} // namespace core::mutter
