#pragma once

#include "Display.h"
#include "VideoFrame.h"

#include <QObject>
#include <QSize>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

namespace core {

class DesktopBackend;

// Continuous capture of one display as NV12 (full range) frames at a chosen size and frame-rate
// ceiling. The capture runs on its own thread ("remote-agent.capture") and delivers only frames
// whose content changed: where the frame source reports changes as events, it sleeps until one
// comes and captures at once (no change waits for a tick), never more often than the rate allows.
// The pictures come from the desktop backend's frame source; pacing, the hand-over of new settings
// and the buffers are this class's. Frames come from a pool of 5 buffers that is allocated once
// per size: a consumer that holds all 5 makes the capture skip frames until one comes back. The
// capture keeps the buffer of its last frame (never writing it again), so that a frame in which
// only the pointer moved is made from it.
//
// start(), stop(), running() and the destructor are called on the thread that created the object
// (the main thread); takeFrameCount() from any thread. Install onFrame, ready and onStop before the first
// start().
class ScreenStream : public QObject {
public:
    // `desktop` is borrowed: it outlives the stream (the agent owns it and outlives its sessions).
    explicit ScreenStream(DesktopBackend& desktop, QObject* parent = nullptr);
    // Stops the capture; does not call onStop.
    ~ScreenStream() override;

    // Receives each changed frame, on the capture thread. Must not block: the consumer only hands
    // the frame to its own queue.
    std::function<void(VideoFramePtr)> onFrame;
    // Asked on the capture thread before each capture: false while the consumer still has a frame
    // waiting, and the capture then looks again shortly instead of capturing a frame that would
    // only be thrown away. Must be cheap. Optional.
    std::function<bool()> ready;
    // Told, on the owner's thread, that the capture stopped by itself (X server gone, display gone,
    // capture failure), with a reason text. The object is idle afterwards. Never called by stop().
    std::function<void(const QString& reason)> onStop;

    // Starts capturing `display` (one of the desktop's DisplaySource::current()), scaled to
    // Geometry::scaledSize(display pixels, maxEdge) with at most `fps` frames per second. On a running
    // capture, re-targets it in place to the new display, size and rate; the next frame delivered has
    // the new settings. Returns once the capture runs with them.
    // Throws AgentError "display N not found" when the frame source has no display with that id (a
    // running capture keeps running unchanged), or another AgentError when the desktop cannot be
    // captured.
    void start(const DisplayInfo& display, int maxEdge, int fps);

    // Stops a running capture and waits for the capture thread to finish; after it returns onFrame
    // is not called again. Does nothing when idle. Never calls onStop.
    void stop();

    // Frames delivered since the previous call; resets the count to 0.
    int takeFrameCount();

    bool running() const;
    // The size of the frames delivered with the current settings; empty when idle.
    QSize frameSize() const;

private:
    class Capture; // the capture thread and the frame source it uses
    void captureStopped(const QString& reason, uint64_t generation);

    DesktopBackend& desktop_;
    std::unique_ptr<Capture> capture_;
    std::atomic<int> frames_{0};
    uint64_t generation_ = 0; // tells a late stop notice of an older capture from the current one
};

} // namespace core
