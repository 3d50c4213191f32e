#include "ScreenStream.h"

#include "CapturePacing.h"
#include "DesktopBackend.h"
#include "FramePool.h"
#include "FrameSource.h"
#include "Geometry.h"
#include "Log.h"
#include "MonotonicClock.h"

#include <QMetaObject>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include <pthread.h>

namespace core {

namespace {

using Clock = std::chrono::steady_clock;

const QString kDisplayGone = QStringLiteral("display disconnected");
// With event-driven changes, how long a still desktop goes without a look of the capture's own.
constexpr std::chrono::milliseconds kQuietLook{250};
// How soon a capture held back by a busy consumer looks again.
constexpr std::chrono::milliseconds kBusyRetry{2};

QString notFound(uint32_t display)
{
    return QStringLiteral("display ") + QString::number(display) + QStringLiteral(" not found");
}

std::optional<DisplayInfo> find(const std::vector<DisplayInfo>& displays, uint32_t id)
{
    const auto it = std::find_if(displays.begin(), displays.end(), [&](const DisplayInfo& d) { return d.id == id; });
    return it == displays.end() ? std::nullopt : std::optional(*it);
}

} // namespace

// The capture thread and everything it owns. Its thread alone uses the frame source and the pool;
// the owner's thread hands it new settings through `pending_` and waits until they apply.
class ScreenStream::Capture {
public:
    struct Settings {
        DisplayInfo display; // in the source's pixels
        int maxEdge = 0;
        int fps = 60;
    };
    struct Request {
        uint32_t display = 0;
        int maxEdge = 0;
        int fps = 60;
    };

    Capture(ScreenStream* owner, uint64_t generation, std::unique_ptr<FrameSource> source, Settings settings,
            std::function<void(VideoFramePtr)> onFrame, std::function<bool()> ready, std::atomic<int>& frames)
        : owner_(owner)
        , generation_(generation)
        , source_(std::move(source))
        , onFrame_(std::move(onFrame))
        , ready_(std::move(ready))
        , frames_(frames)
    {
        apply(settings);
        thread_ = std::thread([this] { run(); });
    }

    ~Capture()
    {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
            wakeThread();
        }
        thread_.join();
    }

    // Hands new settings to the thread and waits until it uses them (or has ended by itself).
    // False when the source has no such display; the capture then goes on unchanged.
    bool retarget(const Request& request)
    {
        std::unique_lock lock(mutex_);
        const uint64_t wanted = ++requested_;
        pending_ = request;
        wakeThread();
        applied_.wait(lock, [&] { return appliedCount_ >= wanted || finished_; });
        return finished_ || found_;
    }

    bool finished() const
    {
        std::lock_guard lock(mutex_);
        return finished_;
    }

    QSize frameSize() const
    {
        std::lock_guard lock(mutex_);
        return size_;
    }

private:
    // Capture-thread state changes under the mutex so frameSize() reads a consistent value.
    void apply(const Settings& s)
    {
        settings_ = s;
        const Geometry::Size size = Geometry::scaledSize(int64_t(s.display.width), int64_t(s.display.height), s.maxEdge);
        last_.reset();
        if (!pool_ || pool_->width() != size.width || pool_->height() != size.height)
            pool_ = std::make_unique<FramePool>(int(size.width), int(size.height));
        interval_ = std::chrono::nanoseconds(1000000000 / std::max(1, s.fps));
        pacing_.setInterval(interval_);
        size_ = QSize(int(size.width), int(size.height));
        dirty_ = true; // the first frame after a (re)start always goes out
    }

    // Ends a wait of the capture thread for changes; the caller holds the mutex and has set what
    // the thread should look at.
    void wakeThread()
    {
        wake_.notify_all();
        source_->wake();
    }

    void run()
    {
        pthread_setname_np(pthread_self(), "capture");
        // When to look next; the rate ceiling is `pacing_`'s.
        auto next = Clock::now();
        for (;;) {
            {
                std::unique_lock lock(mutex_);
                wake_.wait_until(lock, next, [&] { return quit_ || pending_.has_value(); });
                if (quit_)
                    return;
                if (pending_) {
                    const std::optional<DisplayInfo> display = find(source_->displays(), pending_->display);
                    found_ = display.has_value();
                    if (display)
                        apply({*display, pending_->maxEdge, pending_->fps});
                    pending_.reset();
                    appliedCount_ = requested_;
                    applied_.notify_all();
                }
            }
            const auto began = Clock::now();
            bool sent = false;
            bool busy = false;
            if (const std::optional<QString> reason = step(sent, busy))
                return finish(*reason);
            if (busy) {
                // The consumer has not taken the last frame yet: look again soon, so the next one
                // is captured as soon as it can go.
                next = began + kBusyRetry;
                continue;
            }
            if (sent) {
                next = pacing_.sent(began);
                continue;
            }
            if (dirty_ || !source_->changesAreEvents()) {
                // A frame is still owed (no buffer free, a failed grab), or changes can only be
                // found by looking.
                next = pacing_.owed(began);
                continue;
            }
            // Nothing changed: sleep until the desktop says something did, then capture at once
            // (within the rate ceiling). A quiet period still looks now and then.
            source_->waitForChange(began + kQuietLook);
            next = pacing_.changed(Clock::now());
        }
    }

    // One tick: follow layout changes, then capture when something changed. A reason to stop, or
    // nothing to go on.
    std::optional<QString> step(bool& sent, bool& busy)
    {
        DisplayInfo display = settings_.display;
        const FrameSource::Result changes = source_->update(display);
        if (changes == FrameSource::Result::sourceLost)
            return source_->lostReason();
        if (changes == FrameSource::Result::displayGone)
            return kDisplayGone;
        if (display != settings_.display) {
            std::lock_guard lock(mutex_);
            apply({display, settings_.maxEdge, settings_.fps});
        }
        dirty_ = changes == FrameSource::Result::ok || dirty_;
        if (!dirty_)
            return std::nullopt;
        if (ready_ && !ready_()) {
            busy = true;
            return std::nullopt;
        }
        // With every buffer held downstream the frame waits for the next tick.
        const std::shared_ptr<Nv12Buffer> buffer = pool_->acquire();
        if (!buffer)
            return std::nullopt;
        const FrameSource::Result grabbed = last_ ? source_->grabAfter(settings_.display, last_->frame, *buffer)
                                                  : source_->grab(settings_.display, *buffer);
        if (grabbed == FrameSource::Result::sourceLost)
            return source_->lostReason();
        if (grabbed != FrameSource::Result::ok)
            return std::nullopt;
        buffer->frame.timestampNs = monotonicNs();
        last_ = buffer;
        dirty_ = false;
        sent = true;
        ++frames_;
        if (onFrame_)
            onFrame_(FramePool::share(buffer));
        return std::nullopt;
    }

    void finish(const QString& reason)
    {
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
        }
        applied_.notify_all();
        // Queued to the owner's thread; dropped by Qt if the owner is gone by then.
        const uint64_t generation = generation_;
        ScreenStream* owner = owner_;
        QMetaObject::invokeMethod(
            owner, [owner, reason, generation] { owner->captureStopped(reason, generation); }, Qt::QueuedConnection);
    }

    ScreenStream* const owner_; // outlives the capture: it joins the thread before it dies
    const uint64_t generation_;
    const std::unique_ptr<FrameSource> source_;
    const std::function<void(VideoFramePtr)> onFrame_;
    const std::function<bool()> ready_;

    // Capture-thread state.
    Settings settings_;
    std::unique_ptr<FramePool> pool_;
    // The buffer of the frame delivered last (kept out of the pool, never written again): the
    // next frame may be made from it when little changed.
    std::shared_ptr<Nv12Buffer> last_;
    std::chrono::nanoseconds interval_{0};
    CapturePacing pacing_;
    bool dirty_ = true;

    std::atomic<int>& frames_; // the owner's counter

    // Shared with the owner's thread.
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable applied_;
    std::optional<Request> pending_;
    bool found_ = true; // the display of the last request was there
    uint64_t requested_ = 0;
    uint64_t appliedCount_ = 0;
    bool quit_ = false;
    bool finished_ = false;
    QSize size_;

    std::thread thread_;
};

ScreenStream::ScreenStream(DesktopBackend& desktop, QObject* parent)
    : QObject(parent)
    , desktop_(desktop)
{
}

ScreenStream::~ScreenStream()
{
    stop();
}

void ScreenStream::start(const DisplayInfo& display, int maxEdge, int fps)
{
    if (capture_ && capture_->finished())
        capture_.reset(); // ended by itself; its stop notice is on the way and will be ignored

    // The client's display is in points; the source's own view of it (in its pixels, on the
    // connection the capture keeps) is what is captured.
    if (capture_) {
        if (!capture_->retarget({display.id, maxEdge, fps}))
            throw AgentError(notFound(display.id));
        return;
    }

    std::unique_ptr<FrameSource> source = desktop_.openFrames();
    const std::optional<DisplayInfo> info = find(source->displays(), display.id);
    if (!info)
        throw AgentError(notFound(display.id));
    source->watch();
    capture_ = std::make_unique<Capture>(this, ++generation_, std::move(source), Capture::Settings{*info, maxEdge, fps},
                                         onFrame, ready, frames_);
}

void ScreenStream::stop()
{
    capture_.reset();
}

int ScreenStream::takeFrameCount()
{
    return frames_.exchange(0);
}

bool ScreenStream::running() const
{
    return capture_ && !capture_->finished();
}

QSize ScreenStream::frameSize() const
{
    return running() ? capture_->frameSize() : QSize();
}

void ScreenStream::captureStopped(const QString& reason, uint64_t generation)
{
    if (!capture_ || generation != generation_)
        return;
    capture_.reset();
    log(QStringLiteral("capture: stopped (%1)").arg(reason));
    if (onStop)
        onStop(reason);
}

} // namespace core
