// The session's streaming half: the WebRTC peer, the video stream of one display, statistics and
// the periodic status poll. All of it runs on the main thread.
#include "Session.h"

#include "Codecs.h"
#include "DesktopBackend.h"
#include "DisplaySource.h"
#include "Geometry.h"
#include "InputPoster.h"
#include "Log.h"
#include "PermissionsProbe.h"
#include "RTC.h"
#include "ScreenStream.h"
#include "Server.h"
#include "Threads.h"

#include <QPointer>

namespace core {

namespace {
constexpr int kStatsIntervalMs = 1000;
// An unanswered statistics request blocks new ones for this long.
constexpr double kStatsPatienceSeconds = 3;
const QString kNoPeer = QStringLiteral("send rtc.offer first");
const QString kDisplayGone = QStringLiteral("display disconnected");
// How long a capture that lost its display waits for the display change notice (which comes 0.5 s
// after the last change) before looking at the displays itself.
constexpr int kDisplayNewsWaitMs = 2000;
} // namespace

void Session::addStreamingRequests()
{
    requests_.add(QStringLiteral("rtc.offer"), [this](const Request& r) {
        const auto param = r.params<SdpParam>();
        startRTC(param.sdp, config_.stream.profile(param.profile), r.id);
    });
    requests_.add(QStringLiteral("rtc.ice"), [this](const Request& r) {
        // An absent peer is reported before the parameters are looked at.
        if (!rtc_)
            throw AgentError(kNoPeer);
        rtc_->addIce(r.params<IceParam>());
        ws_->send(Wire::ok(r.id));
    });
    const auto start = [this](const Request& r) {
        const auto param = r.params<DisplayParam>();
        startStream(param.displayId, config_.stream.profile(param.profile), r.id);
    };
    requests_.add(QStringLiteral("stream.start"), start);
    requests_.add(QStringLiteral("stream.switch"), start);
    requests_.add(QStringLiteral("stream.stop"), [this](const Request& r) {
        stopStream(std::nullopt);
        ws_->send(Wire::ok(r.id));
    });
    requests_.add(QStringLiteral("stats.start"), [this](const Request& r) {
        startStats();
        ws_->send(Wire::ok(r.id));
    });
    requests_.add(QStringLiteral("stats.stop"), [this](const Request& r) {
        statsTimer_.reset();
        ws_->send(Wire::ok(r.id));
    });
}

void Session::startStreaming()
{
    input_ = std::make_unique<InputPoster>(desktop_->openInput());
    displayNewsWait_.setSingleShot(true);
    displayNewsWait_.setTimerType(Qt::PreciseTimer);
    connect(&displayNewsWait_, &QTimer::timeout, this, &Session::displaysChanged);
}

void Session::endStreaming()
{
    stopStream(std::nullopt);
    statsTimer_.reset();
    if (rtc_) {
        rtc_->close();
        rtc_.reset();
    }
}

void Session::startRTC(const QString& sdp, const Config::Profile& profile, qint64 id)
{
    stopStream(std::nullopt);
    if (rtc_) {
        rtc_->close();
        rtc_.reset();
    }
    // A phone on this machine reaches the agent over loopback, which ICE must then offer too.
    rtc_ = std::make_unique<RTC>(ws_->remoteIP() == QLatin1String("127.0.0.1"));
    statsOut_.reset();
    // The new peer counts its bytes and frames from zero.
    statsPrev_.reset();

    QPointer<Session> self(this);
    rtc_->onIce = [self](const IceEvent& e) {
        if (self && !self->ended_)
            self->ws_->send(Wire::event(e));
    };
    rtc_->onInput = [self](const QByteArray& message) {
        if (self)
            self->handleInput(message);
    };
    rtc_->onGone = [self] {
        if (self && self->input_)
            self->input_->releaseAll();
    };
    rtc_->answer(sdp, profile.maxKbps / 4, config_.stream.h265,
                 [self, id](const std::optional<QString>& answer, const QString& error) {
                     if (!self || self->ended_)
                         return;
                     if (answer)
                         self->ws_->send(Wire::ok(id, SdpData{*answer}));
                     else
                         self->ws_->send(Wire::fail(id, error));
                 });
}

void Session::startStats()
{
    if (statsTimer_)
        return;
    statsPrev_.reset();
    statsTimer_ = std::make_unique<QTimer>();
    statsTimer_->setTimerType(Qt::PreciseTimer);
    connect(statsTimer_.get(), &QTimer::timeout, this, [this] { statsTick(false); });
    statsTimer_->start(kStatsIntervalMs);
    statsTick(true);
}

void Session::statsTick(bool first)
{
    const std::optional<qint64> frames = takeFrameCount();
    const double now = uptimeSeconds();
    if (statsOut_ && now - *statsOut_ < kStatsPatienceSeconds)
        return;
    if (!rtc_ || !streaming_) {
        ws_->send(Wire::event(StatsEvent{}));
        return;
    }
    statsOut_ = now;
    QPointer<Session> self(this);
    rtc_->outboundVideo([self, now, first, frames](const std::optional<OutboundVideo>& video) {
        if (!self || self->statsOut_ != now)
            return;
        self->statsOut_.reset();
        if (!self->statsTimer_)
            return;
        auto [event, sample] = Stats::event(video, self->statsPrev_, uptimeSeconds(),
                                            first ? std::nullopt : frames);
        self->statsPrev_ = sample;
        self->ws_->send(Wire::event(event));
    });
}

void Session::presenceChanged(const Permissions& permissions, bool locked)
{
    assertOwnThread(this);
    if (ended_)
        return;
    const bool differs = permissions != permissions_ || locked != locked_;
    permissions_ = permissions;
    locked_ = locked;
    if (live_ && differs)
        ws_->send(Wire::event(StatusChanged{permissions_, locked_}));
}

void Session::startStream(quint32 display, const Config::Profile& profile, qint64 id)
{
    if (!rtc_)
        return ws_->send(Wire::fail(id, kNoPeer));
    // A stream whose display went is reported as ended before a new one starts.
    if (streaming_ && !screen_)
        displaysChanged();
    const std::vector<DisplayInfo> displays = desktop_->displays().current();
    const auto found = std::find_if(displays.begin(), displays.end(), [&](const DisplayInfo& d) { return d.id == display; });
    if (found == displays.end())
        return ws_->send(Wire::fail(id, QStringLiteral("display %1 not found").arg(display)));

    const qint64 maxEdge = Codecs::effectiveEdge(profile.maxEdge, rtc_->codec());
    const qint64 fps = Codecs::effectiveFps(profile.maxFps, rtc_->codec());
    rtc_->apply(profile.maxKbps, fps);

    if (!screen_) {
        screen_ = std::make_unique<ScreenStream>(*desktop_);
        // The capture is stopped (and its thread joined) before the peer it feeds is replaced or
        // dropped: stopStream() runs first in startRTC() and endStreaming().
        RTC* peer = rtc_.get();
        screen_->onFrame = [peer](VideoFramePtr frame) { peer->push(std::move(frame)); };
        screen_->ready = [peer] { return peer->readyForFrame(); };
        QPointer<Session> self(this);
        screen_->onStop = [self](const QString& reason) {
            if (self)
                self->captureStopped(reason);
        };
    }

    // The capture starts synchronously, so start requests are answered in the order they came;
    // the generation check still turns a start overtaken by a stop into "stream stopped".
    const qint64 gen = streamGen_;
    try {
        screen_->start(*found, int(maxEdge), int(fps));
    } catch (const std::exception& e) {
        return ws_->send(Wire::fail(id, describe(e)));
    }
    if (streamGen_ != gen || !screen_) {
        if (screen_)
            screen_->stop();
        screen_.reset();
        rtc_->clearLastFrame();
        return ws_->send(Wire::fail(id, QStringLiteral("stream stopped")));
    }
    streaming_ = display;
    input_->setFrame(*found);
    rtc_->requestKeyframe();
    ws_->send(Wire::ok(id));
}

void Session::captureStopped(const QString& reason)
{
    if (reason != kDisplayGone || !streaming_)
        return stopStream(reason);
    // The capture notices a vanished display before the debounced display change does. The client
    // is told the new display list first and then that the stream ended, so the end waits for
    // displaysChanged(), or for this session's own look at the displays when no notice comes.
    screen_.reset();
    if (input_)
        input_->setFrame(std::nullopt);
    if (rtc_)
        rtc_->clearLastFrame();
    displayNewsWait_.start(kDisplayNewsWaitMs);
}

void Session::stopStream(const std::optional<QString>& reason)
{
    ++streamGen_;
    displayNewsWait_.stop();
    if (screen_) {
        screen_->stop();
        screen_.reset();
    }
    streaming_.reset();
    if (input_)
        input_->setFrame(std::nullopt);
    if (rtc_)
        rtc_->clearLastFrame();
    if (reason)
        ws_->send(Wire::event(StreamEnded{*reason}));
}

void Session::followDisplays(const std::vector<DisplayInfo>& displays)
{
    // A capture that lost its display has stopped even if the display came back meanwhile.
    if (Geometry::streamLost(streaming_, displays) || (streaming_ && !screen_))
        return stopStream(kDisplayGone);
    if (!streaming_)
        return;
    const auto it = std::find_if(displays.begin(), displays.end(), [&](const DisplayInfo& d) { return d.id == *streaming_; });
    if (input_ && it != displays.end())
        input_->setFrame(*it);
}

std::optional<qint64> Session::takeFrameCount()
{
    if (!screen_)
        return std::nullopt;
    return screen_->takeFrameCount();
}

void Session::handleInput(const QByteArray& message)
{
    if (input_)
        input_->receive(message);
}

} // namespace core
