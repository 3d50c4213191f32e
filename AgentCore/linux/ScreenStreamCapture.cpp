#include "ScreenStream.h"

#include "FramePool.h"
#include "Geometry.h"
#include "Log.h"
#include "Nv12Converter.h"
#include "XConnection.h"
#include "XMonitors.h"
#include "XScreenGrabber.h"

#include <QMetaObject>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <optional>
#include <thread>

#include <pthread.h>

namespace core {

namespace {

using Clock = std::chrono::steady_clock;

const QString kXGone = QStringLiteral("The connection to the X display was lost.");
const QString kDisplayGone = QStringLiteral("display disconnected");

int64_t monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

QString notFound(uint32_t display)
{
    return QStringLiteral("display ") + QString::number(display) + QStringLiteral(" not found");
}

// The monitors in root-window pixels, which the capture works in (clients see points).
std::vector<DisplayInfo> pixelMonitors()
{
    const auto x = x11::Connection::open();
    return x ? x11::monitors(*x) : std::vector<DisplayInfo>{};
}

std::optional<DisplayInfo> find(const std::vector<DisplayInfo>& displays, uint32_t id)
{
    const auto it = std::find_if(displays.begin(), displays.end(), [&](const DisplayInfo& d) { return d.id == id; });
    return it == displays.end() ? std::nullopt : std::optional(*it);
}

} // namespace

// The capture thread and everything it owns. Its thread alone uses the grabber, the converter and
// the pool; the owner's thread hands it new settings through `pending_` and waits until they apply.
class ScreenStream::Capture {
public:
    struct Settings {
        DisplayInfo display;
        int maxEdge = 0;
        int fps = 60;
    };

    Capture(ScreenStream* owner, uint64_t generation, std::unique_ptr<x11::ScreenGrabber> grabber, Settings settings,
            std::function<void(VideoFramePtr)> onFrame, std::atomic<int>& frames)
        : owner_(owner)
        , generation_(generation)
        , grabber_(std::move(grabber))
        , onFrame_(std::move(onFrame))
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
        }
        wake_.notify_all();
        thread_.join();
    }

    // Hands new settings to the thread and waits until it uses them (or has ended by itself).
    void retarget(const Settings& settings)
    {
        std::unique_lock lock(mutex_);
        const uint64_t wanted = ++requested_;
        pending_ = settings;
        wake_.notify_all();
        applied_.wait(lock, [&] { return appliedCount_ >= wanted || finished_; });
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
        area_ = {int(s.display.x), int(s.display.y), int(s.display.width), int(s.display.height)};
        const Geometry::Size size = Geometry::scaledSize(area_.width, area_.height, s.maxEdge);
        if (!pool_ || pool_->width() != size.width || pool_->height() != size.height)
            pool_ = std::make_unique<FramePool>(int(size.width), int(size.height));
        interval_ = std::chrono::nanoseconds(1000000000 / std::max(1, s.fps));
        size_ = QSize(int(size.width), int(size.height));
        dirty_ = true; // the first frame after a (re)start always goes out
    }

    void run()
    {
        pthread_setname_np(pthread_self(), "capture");
        auto next = Clock::now();
        for (;;) {
            {
                std::unique_lock lock(mutex_);
                wake_.wait_until(lock, next, [&] { return quit_ || pending_.has_value(); });
                if (quit_)
                    return;
                if (pending_) {
                    apply(*pending_);
                    pending_.reset();
                    appliedCount_ = requested_;
                    applied_.notify_all();
                }
            }
            if (const std::optional<QString> reason = step())
                return finish(*reason);
            next = std::max(next + interval_, Clock::now());
        }
    }

    // One tick: follow layout changes, then capture when something changed. A reason to stop, or
    // nothing to go on.
    std::optional<QString> step()
    {
        if (grabber_->broken())
            return kXGone;
        const x11::ScreenGrabber::Changes changes = grabber_->poll(area_);
        if (changes.layout) {
            const std::optional<DisplayInfo> now = find(grabber_->monitors(), settings_.display.id);
            if (grabber_->broken())
                return kXGone;
            if (!now)
                return kDisplayGone;
            if (*now != settings_.display) {
                std::lock_guard lock(mutex_);
                apply({*now, settings_.maxEdge, settings_.fps});
            }
        }
        dirty_ = grabber_->cursorChanged(area_) || changes.damaged || dirty_;
        if (!dirty_)
            return std::nullopt;
        // With every buffer held downstream the frame waits for the next tick.
        const std::shared_ptr<Nv12Buffer> buffer = pool_->acquire();
        if (!buffer)
            return std::nullopt;
        const BgrxImage* image = grabber_->grab(area_, true);
        if (!image)
            return grabber_->broken() ? std::optional(kXGone) : std::nullopt;
        const BgrxImage scaled = converter_.scale(*image, pool_->width(), pool_->height());
        converter_.toNv12(scaled, *buffer);
        buffer->frame.timestampNs = monotonicNs();
        dirty_ = false;
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
    const std::unique_ptr<x11::ScreenGrabber> grabber_;
    const std::function<void(VideoFramePtr)> onFrame_;

    // Capture-thread state.
    Settings settings_;
    x11::Area area_;
    std::unique_ptr<FramePool> pool_;
    Nv12Converter converter_;
    std::chrono::nanoseconds interval_{0};
    bool dirty_ = true;

    std::atomic<int>& frames_; // the owner's counter

    // Shared with the owner's thread.
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable applied_;
    std::optional<Settings> pending_;
    uint64_t requested_ = 0;
    uint64_t appliedCount_ = 0;
    bool quit_ = false;
    bool finished_ = false;
    QSize size_;

    std::thread thread_;
};

ScreenStream::ScreenStream(QObject* parent)
    : QObject(parent)
{
}

ScreenStream::~ScreenStream()
{
    stop();
}

void ScreenStream::start(uint32_t display, int maxEdge, int fps)
{
    if (capture_ && capture_->finished())
        capture_.reset(); // ended by itself; its stop notice is on the way and will be ignored

    if (capture_) {
        const std::optional<DisplayInfo> info = find(pixelMonitors(), display);
        if (!info)
            throw AgentError(notFound(display));
        capture_->retarget({*info, maxEdge, fps});
        return;
    }

    QString error;
    auto grabber = x11::ScreenGrabber::open(&error);
    if (!grabber)
        throw AgentError(error);
    const std::optional<DisplayInfo> info = find(grabber->monitors(), display);
    if (!info)
        throw AgentError(notFound(display));
    grabber->watchChanges();
    capture_ = std::make_unique<Capture>(this, ++generation_, std::move(grabber), Capture::Settings{*info, maxEdge, fps},
                                         onFrame, frames_);
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
