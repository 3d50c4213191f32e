#pragma once

#include <chrono>

namespace core {

// When the capture looks at the desktop next, under its frame-rate ceiling: at most one frame per
// interval on average, checked against an ideal schedule that frames may run ahead of by a quarter
// of an interval (so a source drawing at the ceiling's own rate, a little early now and then, is
// not held back a whole frame). A change reported after a quiet spell is captured at once: the
// schedule never runs more than one interval past the last frame.
class CapturePacing {
public:
    using Clock = std::chrono::steady_clock;
    using Time = Clock::time_point;

    explicit CapturePacing(std::chrono::nanoseconds interval = std::chrono::nanoseconds(0));

    // A new ceiling; what was sent so far still counts.
    void setInterval(std::chrono::nanoseconds interval);

    // Each returns when to look next.
    // A frame went out from the look that began at `at`.
    Time sent(Time at);
    // The look that began at `at` sent nothing though a frame is owed, or the source can only be
    // polled: look again one interval on.
    Time owed(Time at);
    // The desktop reported a change at `at`, during a wait that followed a look finding none.
    Time changed(Time at) const;

private:
    Time earliest() const;

    std::chrono::nanoseconds interval_{0};
    std::chrono::nanoseconds tolerance_{0};
    // When the next frame would go out on the ideal schedule.
    Time due_{};
};

// Whether a capture started now would find the encoder free by the time it is done: the frame in
// the encoder has been there `encoding` of the `encodeTakes` a frame usually takes, and a capture
// with its conversion usually takes `captureTakes`. A frame captured any sooner would only wait
// for the encoder, growing the latency by that wait.
bool encoderFreeInTime(std::chrono::nanoseconds encoding, std::chrono::nanoseconds encodeTakes,
                       std::chrono::nanoseconds captureTakes);

} // namespace core
