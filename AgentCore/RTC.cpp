#include "RTC.h"

#include "Codecs.h"
#include "FrameQueue.h"
#include "Log.h"
#include "Threads.h"
#include "linux/WebRtcPipeline.h"

#include <QPointer>
#include <QStringList>

#include <time.h>

namespace core {

namespace {
constexpr int kAnswerTimeoutMs = 10000;
constexpr int kAdaptIntervalMs = 1000;

std::vector<QString> mids(const QString& sdp)
{
    std::vector<QString> out;
    for (const QString& line : sdp.split(QStringLiteral("\r\n"))) {
        if (line.startsWith(QLatin1String("m=")))
            out.emplace_back();
        else if (line.startsWith(QLatin1String("a=mid:")) && !out.empty())
            out.back() = line.mid(6).trimmed();
    }
    return out;
}
} // namespace

RTC::RTC(bool loopbackIce, QObject* parent)
    : QObject(parent)
{
    // The pipeline delivers on the main thread and only while this object lives.
    gst::WebRtcPipeline::Events events;
    events.candidate = [this](unsigned mline, const QString& candidate) {
        if (!onIce)
            return;
        IceEvent e;
        e.candidate = candidate;
        e.sdpMLineIndex = qint32(mline);
        if (mline < mids_.size())
            e.sdpMid = mids_[mline];
        onIce(e);
    };
    events.message = [this](const QByteArray& message) {
        if (onInput)
            onInput(message);
    };
    // The peer is gone when the ICE state says so, when the data channel closes or when sending
    // fails (a closed peer connection is only noticed that way).
    auto gone = [this] {
        if (onGone)
            onGone();
    };
    events.channelClosed = [gone] {
        log(QStringLiteral("rtc: data channel closed"));
        gone();
    };
    events.failed = gone;
    events.iceState = [lost = gone](int state, bool gone) {
        log(QStringLiteral("rtc: ice state %1").arg(state));
        if (gone)
            lost();
    };
    pipeline_ = std::make_unique<gst::WebRtcPipeline>(std::move(events), loopbackIce, this);
    frames_ = std::make_unique<FrameQueue>([this](const VideoFramePtr& frame, bool) {
        // The frame thread stops before the pipeline goes (member order).
        if (!closed_)
            pipeline_->push(frame);
    });

    answerTimeout_.setSingleShot(true);
    answerTimeout_.setTimerType(Qt::PreciseTimer);
    connect(&answerTimeout_, &QTimer::timeout, this, [this] { finishAnswer(std::nullopt, QStringLiteral("no answer")); });
    connect(&adaptTimer_, &QTimer::timeout, this, &RTC::adapt);
    adaptTimer_.setTimerType(Qt::PreciseTimer);
}

RTC::~RTC() { close(); }

void RTC::answer(const QString& offer, qint64 startKbps, bool h265, Answered done)
{
    const QString text = Codecs::preferInOffer(Codecs::forceH264Level(offer), h265);
    const bool canH265 = h265 && gst::WebRtcPipeline::h265Encoder().has_value();

    const std::optional<Codecs::Payload> chosen = Codecs::choose(Codecs::videoPayloads(text), canH265);
    if (!chosen)
        return done(std::nullopt, QStringLiteral("no common video codec"));

    assertOwnThread(this);
    bitrate_ = BitrateControl(startKbps, bitrate_.ceiling());
    lossMeter_ = LossMeter();
    answered_ = std::move(done);
    answerTimeout_.start(kAnswerTimeoutMs);

    const bool prepared = pipeline_->prepare(chosen->codec, chosen->type, bitrate_.target(), [this, text] {
        if (!answered_)
            return;
        pipeline_->negotiate(text, [this](std::optional<QString> sdp, QString error) { finishAnswer(sdp, error); });
    });
    if (!prepared)
        finishAnswer(std::nullopt, QStringLiteral("video encoder not available"));
}

void RTC::finishAnswer(const std::optional<QString>& sdp, const QString& error)
{
    if (!answered_)
        return;
    answerTimeout_.stop();
    Answered done = std::move(answered_);
    answered_ = nullptr;
    if (!sdp)
        return done(std::nullopt, error);
    codec_ = Codecs::negotiated(*sdp);
    mids_ = mids(*sdp);
    adaptTimer_.start(kAdaptIntervalMs);
    done(sdp, QString());
}

void RTC::addIce(const IceParam& param)
{
    assertOwnThread(this);
    QString candidate = param.candidate;
    if (candidate.startsWith(QLatin1String("a=")))
        candidate = candidate.mid(2);
    if (candidate.isEmpty())
        return;
    pipeline_->addCandidate(unsigned(std::max(param.sdpMLineIndex, 0)), candidate);
}

void RTC::apply(qint64 maxKbps, qint64 fps)
{
    assertOwnThread(this);
    bitrate_.setCeiling(maxKbps);
    fps_ = fps;
    pipeline_->setFrameRate(int(std::clamp<qint64>(fps, 1, 240)));
    pipeline_->setBitrate(bitrate_.target());
}

void RTC::push(VideoFramePtr frame)
{
    if (!closed_)
        frames_->push(std::move(frame));
}

bool RTC::readyForFrame() const { return closed_ || (frames_->waiting() == 0 && pipeline_->readyForFrame()); }

void RTC::clearLastFrame()
{
    assertOwnThread(this);
    frames_->clearLast();
}

void RTC::requestKeyframe()
{
    assertOwnThread(this);
    pipeline_->requestKeyframe();
}

void RTC::adapt()
{
    pipeline_->linkStats([this](const gst::LinkStats& stats) {
        if (closed_ || (!stats.fractionLost && !stats.rttSeconds))
            return;
        std::optional<double> fraction = stats.fractionLost;
        // RTCP carries the fraction as a fixed-point byte; normalise if it comes raw.
        if (fraction && *fraction > 1)
            fraction = *fraction / 256;
        const std::optional<double> lost = lossMeter_.update(stats.packetsSent, stats.packetsLost, fraction);
        const qint64 before = bitrate_.target();
        const qint64 after = bitrate_.update(lost, stats.rttSeconds);
        if (after != before)
            pipeline_->setBitrate(after);
    });
}

void RTC::outboundVideo(Outbound done)
{
    assertOwnThread(this);
    pipeline_->linkStats([this, done](const gst::LinkStats& link) {
        if (!codec_ || closed_)
            return done(std::nullopt);
        const gst::EncoderStats enc = pipeline_->encoderStats();
        const double now = uptimeSeconds();
        OutboundVideo video;
        video.framesEncoded = enc.framesEncoded;
        video.encodeSeconds = enc.encodeSeconds;
        video.framesCaptured = enc.framesCaptured;
        video.captureSeconds = enc.captureSeconds;
        video.convertSeconds = enc.convertSeconds;
        video.sendSeconds = enc.sendSeconds;
        video.bytesSent = link.bytesSent.value_or(0);
        video.targetKbps = bitrate_.target();
        video.bandwidthLimited = bitrate_.limited();
        video.encoder = enc.name;
        video.mimeType = QStringLiteral("video/") + *codec_;
        if (enc.width > 0) {
            video.width = enc.width;
            video.height = enc.height;
        }
        if (prevAt_ > 0 && now > prevAt_)
            video.framesPerSecond = (enc.framesEncoded - prevFrames_) / (now - prevAt_);
        prevFrames_ = enc.framesEncoded;
        prevAt_ = now;
        done(video);
    });
}

void RTC::close()
{
    assertOwnThread(this);
    if (closed_.exchange(true))
        return;
    // An answer still being made is given up, so that its request is still answered.
    finishAnswer(std::nullopt, QStringLiteral("no answer"));
    adaptTimer_.stop();
    answerTimeout_.stop();
    frames_->clearLast();
    pipeline_->close();
}

} // namespace core
