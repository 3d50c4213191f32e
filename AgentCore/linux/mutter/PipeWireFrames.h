#pragma once

#include "Nv12Converter.h"

#include <QString>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

typedef struct _GstElement GstElement;
typedef struct _GstSample GstSample;

namespace core::mutter {

// The latest frame of whichever stream feeds it, and a wait for the next one. Outlives the
// streams that feed it one after another, so that waiting and waking never race a stream's end.
// Any thread.
class LatestFrame {
public:
    LatestFrame();
    ~LatestFrame();

    // Counts the frames received so far.
    quint64 serial() const;
    // Blocks until a frame newer than `seen` arrives, wake() is called or `until` passes.
    void waitPast(quint64 seen, std::chrono::steady_clock::time_point until);
    void wake();
    // Calls `use` with the latest picture, which lives for the call; false when none came yet.
    bool withLatest(const std::function<void(const BgrxImage&)>& use);
    // Forgets the picture kept (the stream moved to another display).
    void clear();
    // Takes `sample` and keeps it when it holds a whole picture; called on GStreamer's thread.
    void put(GstSample* sample);

private:
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    GstSample* latest_ = nullptr;
    quint64 serial_ = 0;
    bool woken_ = false;
};

// The frames of one PipeWire node as 32-bit BGRx pictures (GStreamer's pipewiresrc), handed to a
// LatestFrame. One thread at a time.
class PipeWireFrames {
public:
    // Throws AgentError when the pipeline cannot be made or started.
    PipeWireFrames(quint32 node, std::shared_ptr<LatestFrame> into);
    ~PipeWireFrames();

    // Why the stream stopped; none while it runs.
    std::optional<QString> failure();

private:
    std::shared_ptr<LatestFrame> into_;
    std::unique_ptr<GstElement, void (*)(GstElement*)> pipeline_;
};

} // namespace core::mutter
