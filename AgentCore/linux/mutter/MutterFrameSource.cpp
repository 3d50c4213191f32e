#include "MutterFrameSource.h"

#include "FramePool.h"
#include "Log.h"
#include "MonotonicClock.h"
#include "MutterScreenCast.h"
#include "PipeWireFrames.h"

#include <algorithm>
#include <cstring>

namespace core::mutter {

namespace {

// A thumbnail of a display just cast waits this long for its first frame.
constexpr std::chrono::seconds kFirstFrameLimit{5};

const QString kMutterGone = QStringLiteral("The connection to the GNOME desktop was lost.");

} // namespace

FrameSource::FrameSource(QDBusConnection bus, std::shared_ptr<CastSignals> announced)
    : bus_(std::move(bus))
    , signals_(std::move(announced))
    , latest_(std::make_shared<LatestFrame>())
{
}

FrameSource::~FrameSource()
{
    // The pipeline reads the cast's node: it stops first.
    frames_.reset();
    cast_.reset();
}

std::vector<DisplayInfo> FrameSource::displays()
{
    if (lost_)
        return {};
    layoutSerial_ = signals_->layoutSerial();
    monitors_ = readMonitors(bus_);
    std::vector<DisplayInfo> displays;
    for (const Monitor& m : monitors_)
        displays.push_back(m.display);
    return displays;
}

bool FrameSource::follow(const DisplayInfo& display)
{
    if (lost_)
        return false;
    auto it = std::find_if(monitors_.begin(), monitors_.end(), [&](const Monitor& m) { return m.display.id == display.id; });
    if (it == monitors_.end()) {
        displays();
        it = std::find_if(monitors_.begin(), monitors_.end(), [&](const Monitor& m) { return m.display.id == display.id; });
        if (it == monitors_.end())
            return false;
    }
    if (cast_ && cast_->streams().front().connector == it->connector)
        return true;
    frames_.reset();
    cast_.reset();
    try {
        cast_ = std::make_unique<CastSession>(bus_, *signals_, QStringList{it->connector}, true);
        latest_->clear();
        frames_ = std::make_unique<PipeWireFrames>(cast_->streams().front().node, latest_);
    } catch (const AgentError& e) {
        frames_.reset();
        cast_.reset();
        lose(e.description());
        return false;
    }
    return true;
}

void FrameSource::lose(const QString& reason)
{
    if (lost_)
        return;
    log(QStringLiteral("capture: ") + reason);
    lostReason_ = reason;
    lost_ = true;
}

FrameSource::Result FrameSource::update(DisplayInfo& display)
{
    if (lost_)
        return Result::sourceLost;
    bool moved = false;
    if (monitors_.empty() || signals_->layoutSerial() != layoutSerial_) {
        const std::vector<DisplayInfo> now = displays();
        const auto it = std::find_if(now.begin(), now.end(), [&](const DisplayInfo& d) { return d.id == display.id; });
        if (it == now.end())
            return Result::displayGone;
        moved = *it != display;
        display = *it;
    }
    if (!follow(display))
        return lost_ ? Result::sourceLost : Result::displayGone;
    if (const std::optional<QString> failure = frames_->failure()) {
        lose(kMutterGone);
        log(QStringLiteral("capture: ") + *failure);
        return Result::sourceLost;
    }
    const quint64 serial = latest_->serial();
    const bool fresh = serial != seen_;
    seen_ = serial;
    return moved || fresh ? Result::ok : Result::noChange;
}

FrameSource::Result FrameSource::grab(const DisplayInfo& display, Nv12Buffer& into)
{
    if (!follow(display))
        return lost_ ? Result::sourceLost : Result::temporaryError;
    // Capture is taking PipeWire's latest picture and mapping it; the copy out of the
    // compositor's buffer happened on GStreamer's thread when it arrived.
    const int64_t began = monotonicNs();
    int64_t mapped = began;
    const bool got = latest_->withLatest([&](const BgrxImage& image) {
        mapped = monotonicNs();
        converter_.toNv12(converter_.scale(image, into.frame.width, into.frame.height), into);
    });
    if (!got)
        return Result::temporaryError;
    into.frame.captureNs = mapped - began;
    into.frame.convertNs = monotonicNs() - mapped;
    return Result::ok;
}

const BgrxImage* FrameSource::still(const DisplayInfo& display)
{
    if (!follow(display))
        return nullptr;
    const auto limit = std::chrono::steady_clock::now() + kFirstFrameLimit;
    while (!latest_->withLatest([](const BgrxImage&) { }) && std::chrono::steady_clock::now() < limit)
        latest_->waitPast(latest_->serial(), limit);
    const bool got = latest_->withLatest([&](const BgrxImage& image) {
        const size_t row = size_t(image.width) * 4;
        still_.resize(row * size_t(image.height));
        for (int y = 0; y < image.height; ++y)
            std::memcpy(still_.data() + row * size_t(y), image.data + size_t(image.stride) * size_t(y), row);
        stillImage_ = {still_.data(), int(row), image.width, image.height};
    });
    return got ? &stillImage_ : nullptr;
}

void FrameSource::waitForChange(std::chrono::steady_clock::time_point until)
{
    latest_->waitPast(seen_, until);
}

void FrameSource::wake()
{
    latest_->wake();
}

QString FrameSource::lostReason() const { return lostReason_.isEmpty() ? kMutterGone : lostReason_; }

} // namespace core::mutter
