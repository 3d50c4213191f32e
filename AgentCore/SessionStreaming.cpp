// The session's streaming half: the WebRTC peer, the video stream of one display, statistics and
// the periodic status poll. All of it runs on the main thread.
#include "Session.h"

#include "Log.h"
#include "Platform.h"
#include "RTC.h"
#include "Server.h"

#include <QPointer>

namespace core {

namespace {
constexpr int kStatusPollMs = 5000;
constexpr int kStatsIntervalMs = 1000;
// An unanswered statistics request blocks new ones for this long.
constexpr double kStatsPatienceSeconds = 3;
const QString kNoPeer = QStringLiteral("send rtc.offer first");
} // namespace

bool Session::routeStreaming(const QString& type, qint64 id, const QByteArray& data)
{
    if (type == QLatin1String("rtc.offer")) {
        const auto param = Wire::decode<SdpParam>(data);
        const Config::Profile& profile = config_.stream.profile(param.profile);
        startRTC(param.sdp, profile, id);
    } else if (type == QLatin1String("rtc.ice")) {
        if (!rtc_)
            throw AgentError(kNoPeer);
        rtc_->addIce(Wire::decode<IceParam>(data));
        ws_->send(Wire::ok(id));
    } else if (type == QLatin1String("stats.start")) {
        startStats();
        ws_->send(Wire::ok(id));
    } else if (type == QLatin1String("stats.stop")) {
        statsTimer_.reset();
        ws_->send(Wire::ok(id));
    } else {
        return routeStream(type, id, data);
    }
    return true;
}

void Session::startStreaming()
{
    permissions_ = Platform::permissions();
    statusTimer_ = std::make_unique<QTimer>();
    connect(statusTimer_.get(), &QTimer::timeout, this, &Session::pollStatus);
    statusTimer_->start(kStatusPollMs);
}

void Session::endStreaming()
{
    stopStream(std::nullopt);
    statsTimer_.reset();
    statusTimer_.reset();
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

    QPointer<Session> self(this);
    rtc_->onIce = [self](const IceEvent& e) {
        if (self && !self->ended_)
            self->ws_->send(Wire::event(e));
    };
    rtc_->onInput = [self](const QByteArray& message) {
        if (self)
            self->handleInput(message);
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
    rtc_->outboundVideo([self, now, first, frames](std::optional<QJsonObject> values, std::optional<QString> mime) {
        if (!self || self->statsOut_ != now)
            return;
        self->statsOut_.reset();
        if (!self->statsTimer_)
            return;
        auto [event, sample] = Stats::event(values, mime, self->statsPrev_, uptimeSeconds(),
                                            first ? std::nullopt : frames);
        self->statsPrev_ = sample;
        self->ws_->send(Wire::event(event));
    });
}

void Session::pollStatus()
{
    const Permissions now = Platform::permissions();
    if (now == permissions_)
        return;
    permissions_ = now;
    ws_->send(Wire::event(StatusChanged{permissions_, locked_}));
}

bool Session::routeStream(const QString&, qint64, const QByteArray&) { return false; }

void Session::stopStream(const std::optional<QString>& reason)
{
    ++streamGen_;
    streaming_.reset();
    if (rtc_)
        rtc_->clearLastFrame();
    if (reason)
        ws_->send(Wire::event(StreamEnded{*reason}));
}

std::optional<qint64> Session::takeFrameCount() { return std::nullopt; }

void Session::handleInput(const QByteArray&) {}

} // namespace core
