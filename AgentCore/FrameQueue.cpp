#include "FrameQueue.h"

#include <algorithm>

#include <pthread.h>

namespace core {

namespace {
// A slow encoder must not make frames pile up: beyond this many waiting frames the oldest goes.
constexpr size_t kMaxWaiting = 2;
} // namespace

FrameQueue::FrameQueue(Sink sink, std::chrono::milliseconds idle)
    : sink_(std::move(sink))
    , idle_(idle)
    , thread_([this] { run(); })
{
    pthread_setname_np(thread_.native_handle(), "frames");
}

FrameQueue::~FrameQueue()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void FrameQueue::push(VideoFramePtr frame)
{
    {
        std::lock_guard lock(mutex_);
        size_t waiting = 0;
        for (const Item& item : items_)
            waiting += item ? 1 : 0;
        if (waiting >= kMaxWaiting) {
            auto oldest = std::find_if(items_.begin(), items_.end(), [](const Item& item) { return item.has_value(); });
            items_.erase(oldest);
        }
        items_.push_back(std::move(frame));
    }
    wake_.notify_one();
}

int FrameQueue::waiting()
{
    std::lock_guard lock(mutex_);
    return int(std::count_if(items_.begin(), items_.end(), [](const Item& item) { return item.has_value(); }));
}

void FrameQueue::clearLast()
{
    {
        std::lock_guard lock(mutex_);
        items_.push_back(std::nullopt);
    }
    wake_.notify_one();
}

void FrameQueue::run()
{
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (items_.empty()) {
            if (last_) {
                if (wake_.wait_until(lock, lastAt_ + idle_, [this] { return stopping_ || !items_.empty(); }))
                    continue;
                // Idle for a whole interval: send the last frame again.
                VideoFramePtr again = last_;
                lastAt_ = Clock::now();
                lock.unlock();
                sink_(again, true);
                lock.lock();
            } else {
                wake_.wait(lock, [this] { return stopping_ || !items_.empty(); });
            }
            continue;
        }
        Item item = std::move(items_.front());
        items_.pop_front();
        if (!item) {
            last_.reset();
            continue;
        }
        last_ = *item;
        lastAt_ = Clock::now();
        lock.unlock();
        sink_(*item, false);
        item.reset();
        lock.lock();
    }
}

} // namespace core
