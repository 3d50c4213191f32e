#pragma once

#include "BitrateControl.h"
#include "MonotonicClock.h"
#include "Stats.h"
#include "Protocol.h"
#include "VideoFrame.h"

#include <QObject>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace core {

class FrameQueue;
namespace gst {
class WebRtcPipeline;
}

// The agent's side of one WebRTC peer connection with the phone. The phone offers (receive-only
// video and a data channel); the peer answers with one send-only video track "screen", sends the
// frames pushed into it and hands data-channel messages to `onInput`.
// All methods run on the main thread except `push`, which may be called from any thread (the
// capture thread). Callbacks and completions arrive on the main thread, and not after the object
// is gone.
class RTC : public QObject {
    Q_OBJECT
public:
    // `loopbackIce`: the phone is on this machine (127.0.0.1), which the ICE agent skips otherwise.
    explicit RTC(bool loopbackIce = false, QObject* parent = nullptr);
    ~RTC() override;

    std::function<void(const IceEvent&)> onIce;
    std::function<void(const QByteArray&)> onInput;
    // The connection to the phone failed, dropped or closed (its input must not stay pressed).
    std::function<void()> onGone;

    // Applies the offer and answers. `done(answer, error)` gets exactly one of the two.
    using Answered = std::function<void(const std::optional<QString>& answer, const QString& error)>;
    void answer(const QString& offer, qint64 startKbps, bool h265, Answered done);
    void addIce(const IceParam& param);
    // The encoder's bitrate ceiling and the frame-rate ceiling.
    void apply(qint64 maxKbps, qint64 fps);
    // Hands a captured frame to the encoder through the frame thread; any thread.
    void push(VideoFramePtr frame);
    // True when nothing waits for the encoder and a frame captured now would go straight in (the
    // encoder is free, or done with its frame by the time the capture is): the capture's
    // back-pressure. Any thread.
    bool readyForFrame() const;
    // Forgets the last frame so that the idle repeat stops.
    void clearLastFrame();
    // The next encoded frame is a keyframe (a stream starts or switches).
    void requestKeyframe();
    // The outgoing video as the encoder reports it; absent before an answer or after close().
    using Outbound = std::function<void(const std::optional<OutboundVideo>& video)>;
    void outboundVideo(Outbound done);
    // Stops the repeat, closes the data channel and the connection; an answer still being made
    // completes with "no answer". Idempotent.
    void close();

    // The codec negotiated in the answer, e.g. "H264".
    const std::optional<QString>& codec() const { return codec_; }

private:
    void adapt();
    void finishAnswer(const std::optional<QString>& sdp, const QString& error);

    std::unique_ptr<gst::WebRtcPipeline> pipeline_;
    // Declared after the pipeline: the frame thread feeds it and stops first.
    std::unique_ptr<FrameQueue> frames_;
    std::atomic<bool> closed_ = false;
    std::optional<QString> codec_;
    std::vector<QString> mids_;
    Answered answered_;
    QTimer answerTimeout_;
    BitrateControl bitrate_{20000, 80000};
    LossMeter lossMeter_;
    QTimer adaptTimer_;
    qint64 fps_ = 60;
    double prevFrames_ = 0;
    double prevAt_ = 0;
};

} // namespace core
