#pragma once

#include "VideoFrame.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace core {

// The serial frame thread "remote-agent.frames" of one peer: frames from the capture thread are
// handed to the encoder here, in order, and the last frame is sent again when the screen has been
// idle for `idle` (a static screen still shows up, and a late joiner gets a picture).
// `push` and `clearLast` may be called from any thread and only enqueue; `sink` runs on the
// frame thread. The destructor stops the thread; `sink` is not called after it returns.
class FrameQueue {
public:
    using Sink = std::function<void(const VideoFramePtr& frame, bool repeat)>;

    explicit FrameQueue(Sink sink, std::chrono::milliseconds idle = std::chrono::milliseconds(1000));
    ~FrameQueue();
    FrameQueue(const FrameQueue&) = delete;
    FrameQueue& operator=(const FrameQueue&) = delete;

    void push(VideoFramePtr frame);
    // Frames pushed and not yet handed to the sink.
    int waiting();
    // Forgets the last frame (after the frames queued before it), so the repeat stops.
    void clearLast();

private:
    using Clock = std::chrono::steady_clock;
    // A queued frame, or an empty pointer for "forget the last frame".
    using Item = std::optional<VideoFramePtr>;

    void run();

    const Sink sink_;
    const std::chrono::milliseconds idle_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Item> items_;
    bool stopping_ = false;
    // Owned by the frame thread.
    VideoFramePtr last_;
    Clock::time_point lastAt_;
    std::thread thread_;
};

} // namespace core
