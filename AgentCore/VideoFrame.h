#pragma once

#include <cstdint>
#include <memory>

namespace core {

// One captured picture in NV12 (full range): a Y plane and an interleaved UV plane at half
// resolution. Frames come from the capture's small pool; whoever holds the pointer keeps the
// buffer out of the pool, and releasing the last reference returns it. Contents never change
// while a reference is held, so a frame can be handed to an encoder without copying.
struct VideoFrame {
    int width = 0;  // even, >= 2
    int height = 0; // even, >= 2
    int strideY = 0;
    int strideUV = 0;
    const uint8_t* y = nullptr;
    const uint8_t* uv = nullptr;
    int64_t timestampNs = 0; // monotonic clock (CLOCK_MONOTONIC) at capture
    // What making the frame cost: reading the picture from the desktop, then scaling and
    // converting it (statistics only; zero when the source does not say).
    int64_t captureNs = 0;
    int64_t convertNs = 0;
};

using VideoFramePtr = std::shared_ptr<const VideoFrame>;

} // namespace core
