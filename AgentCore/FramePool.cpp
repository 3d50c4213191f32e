#include "FramePool.h"

#include <atomic>

namespace core {

Nv12Buffer::Nv12Buffer(int width, int height)
    : y_(size_t(width) * size_t(height))
    , uv_(size_t(width) * size_t(height) / 2)
{
    frame.width = width;
    frame.height = height;
    frame.strideY = width;
    frame.strideUV = width;
    frame.y = y_.data();
    frame.uv = uv_.data();
}

FramePool::FramePool(int width, int height, int depth)
    : width_(width)
    , height_(height)
{
    buffers_.reserve(size_t(depth));
    for (int i = 0; i < depth; ++i)
        buffers_.push_back(std::make_shared<Nv12Buffer>(width, height));
}

std::shared_ptr<Nv12Buffer> FramePool::acquire()
{
    for (const auto& b : buffers_) {
        if (b.use_count() == 1) {
            // Pairs with the release of the consumer's last reference: its reads of the planes
            // finish before the capture writes them again.
            std::atomic_thread_fence(std::memory_order_acquire);
            return b;
        }
    }
    return nullptr;
}

VideoFramePtr FramePool::share(const std::shared_ptr<Nv12Buffer>& buffer)
{
    return VideoFramePtr(buffer, &buffer->frame);
}

} // namespace core
