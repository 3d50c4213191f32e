#pragma once

#include <chrono>

namespace core {

// When the capture looks at the desktop next, under its frame-rate ceiling: frames at least three
// quarters of an interval apart, and at most one per interval on average (a schedule that frames
// may not run ahead of by more than one interval). A frame late on the schedule delays only the
// one after it, so a source drawing at the ceiling's own rate, a little late now and then, is not
// held back more and more. A change reported after a quiet spell is captured at once.
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
    std::chrono::nanoseconds spacing_{0};
    // When the next frame would go out on the ideal schedule, and when the last one went.
    Time due_{};
    Time last_{};
};

// Whether a capture started now would find the encoder free by the time it is done: the frame in
// the encoder has been there `encoding` of the `encodeTakes` a frame usually takes, and a capture
// with its conversion usually takes `captureTakes`. A frame captured any sooner would only wait
// for the encoder, growing the latency by that wait.
bool encoderFreeInTime(std::chrono::nanoseconds encoding, std::chrono::nanoseconds encodeTakes,
                       std::chrono::nanoseconds captureTakes);

} // namespace core
