#pragma once

#include "VideoFrame.h"

#include <memory>
#include <vector>

namespace core {

// One NV12 picture's storage, reused from frame to frame.
struct Nv12Buffer {
    Nv12Buffer(int width, int height);
    uint8_t* y() { return y_.data(); }
    uint8_t* uv() { return uv_.data(); }
    VideoFrame frame; // points into the planes below
private:
    std::vector<uint8_t> y_;
    std::vector<uint8_t> uv_;
};

// A fixed set of NV12 buffers of one size. A buffer is free while only the pool holds it; handing
// it out as a VideoFramePtr shares the buffer's own control block, so no frame allocates.
// Used by one thread (the capture thread); the frames it hands out may be released on any thread.
class FramePool {
public:
    static constexpr int kDepth = 5;

    FramePool(int width, int height, int depth = kDepth);

    int width() const { return width_; }
    int height() const { return height_; }

    // A buffer no consumer holds, or null when all are in use.
    std::shared_ptr<Nv12Buffer> acquire();
    // The frame view of a filled buffer; the buffer returns to the pool when the last view goes.
    static VideoFramePtr share(const std::shared_ptr<Nv12Buffer>& buffer);

private:
    int width_;
    int height_;
    std::vector<std::shared_ptr<Nv12Buffer>> buffers_;
};

} // namespace core
