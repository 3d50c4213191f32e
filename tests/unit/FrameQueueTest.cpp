#include "FrameQueue.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <thread>
#include <mutex>
#include <vector>

using namespace core;
using namespace std::chrono_literals;

namespace {

VideoFramePtr frame(int64_t stamp)
{
    auto f = std::make_shared<VideoFrame>();
    f->width = 2;
    f->height = 2;
    f->timestampNs = stamp;
    return f;
}

// Records what the frame thread sends and lets the test wait for a number of sends.
struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<int64_t, bool>> sent;

    FrameQueue::Sink sink()
    {
        return [this](const VideoFramePtr& f, bool repeat) {
            std::lock_guard lock(mutex);
            sent.emplace_back(f->timestampNs, repeat);
            changed.notify_all();
        };
    }
    bool waitFor(size_t count)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return sent.size() >= count; });
    }
    bool waitForStamp(int64_t stamp)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 10s, [&] {
            return std::find(sent.begin(), sent.end(), std::make_pair(stamp, false)) != sent.end();
        });
    }
};

} // namespace

TEST(FrameQueue, SendsFramesInOrderAndRepeatsTheLastWhenIdle)
{
    Recorder rec;
    FrameQueue queue(rec.sink(), 50ms);
    queue.push(frame(1));
    queue.push(frame(2));
    ASSERT_TRUE(rec.waitFor(4));
    std::lock_guard lock(rec.mutex);
    EXPECT_EQ(rec.sent[0], std::make_pair(int64_t(1), false));
    EXPECT_EQ(rec.sent[1], std::make_pair(int64_t(2), false));
    EXPECT_EQ(rec.sent[2], std::make_pair(int64_t(2), true));
    EXPECT_EQ(rec.sent[3], std::make_pair(int64_t(2), true));
}

TEST(FrameQueue, NothingIsRepeatedAfterClearingTheLastFrame)
{
    Recorder rec;
    {
        FrameQueue queue(rec.sink(), 20ms);
        queue.push(frame(7));
        ASSERT_TRUE(rec.waitFor(2)); // sent, then repeated at least once
        queue.clearLast();
        queue.push(frame(8));
        queue.clearLast();
        queue.push(frame(9));
        ASSERT_TRUE(rec.waitForStamp(9));
        queue.clearLast();
        // Absence needs a span of time: ten idle intervals. At most one repeat of 9 may have been
        // on its way when the clear came.
        std::unique_lock lock(rec.mutex);
        const auto repeatsOf9 = [&] { return std::count(rec.sent.begin(), rec.sent.end(), std::make_pair(int64_t(9), true)); };
        const auto before = repeatsOf9();
        EXPECT_FALSE(rec.changed.wait_for(lock, 200ms, [&] { return repeatsOf9() > before + 1; }));
    }
    // Once 8 replaced 7 as the last frame, 7 never comes back.
    std::lock_guard lock(rec.mutex);
    auto it = std::find(rec.sent.begin(), rec.sent.end(), std::make_pair(int64_t(8), false));
    ASSERT_NE(it, rec.sent.end());
    for (++it; it != rec.sent.end(); ++it)
        EXPECT_NE(it->first, 7);
}

TEST(FrameQueue, KeepsOnlyTheNewestWaitingFramesWhenTheSinkIsSlow)
{
    std::mutex gate;
    std::unique_lock hold(gate);
    std::vector<int64_t> sent;
    std::mutex sentMutex;
    std::condition_variable changed;
    {
        FrameQueue queue(
            [&](const VideoFramePtr& f, bool repeat) {
                if (repeat)
                    return;
                {
                    std::lock_guard lock(sentMutex);
                    sent.push_back(f->timestampNs);
                    changed.notify_all();
                }
                std::lock_guard wait(gate); // blocks while the test holds the gate
            },
            10s);
        queue.push(frame(1));
        {
            // Frame 1 is in the sink; 2..5 wait, and only the newest two of them stay.
            std::unique_lock lock(sentMutex);
            ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return !sent.empty(); }));
        }
        for (int i = 2; i <= 5; ++i)
            queue.push(frame(i));
        hold.unlock();
        std::unique_lock lock(sentMutex);
        ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return sent.back() == 5; }));
    }
    EXPECT_EQ(sent, (std::vector<int64_t>{1, 4, 5}));
}

// With an idle interval far longer than any test, only a wake-up can make the thread act.
TEST(FrameQueue, PushedFrameIsSentWithoutWaitingForTheIdleInterval)
{
    Recorder rec;
    FrameQueue queue(rec.sink(), 1h);
    queue.push(frame(1));
    ASSERT_TRUE(rec.waitForStamp(1));
    queue.push(frame(2));
    EXPECT_TRUE(rec.waitForStamp(2));
}

TEST(FrameQueue, DestroyingAQueueWaitingOutItsIdleIntervalReturns)
{
    Recorder rec;
    auto queue = std::make_unique<FrameQueue>(rec.sink(), 1h);
    queue->push(frame(1));
    ASSERT_TRUE(rec.waitForStamp(1));
    auto gone = std::make_shared<std::promise<void>>();
    std::future<void> done = gone->get_future();
    // Destroyed on a thread of its own, so that a destructor that never returns fails the test
    // instead of hanging it.
    std::thread([queue = std::move(queue), gone]() mutable {
        queue.reset();
        gone->set_value();
    }).detach();
    EXPECT_EQ(done.wait_for(10s), std::future_status::ready);
}
