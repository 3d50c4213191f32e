#pragma once

#include "VideoFrame.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace core::gst {

// What the receiver's reports and webrtcbin's counters say about the outgoing video.
struct LinkStats {
    std::optional<double> bytesSent;
    std::optional<double> fractionLost; // 0..1, from the last receiver report
    std::optional<double> packetsSent;  // media packets sent, cumulative
    std::optional<double> packetsLost;  // cumulative, from the last receiver report
    std::optional<double> rttSeconds;
};

// What the agent measured around its encoder.
struct EncoderStats {
    double framesEncoded = 0;
    double encodeSeconds = 0;
    // Frames captured (a repeated frame counts once), with their capture and conversion times.
    double framesCaptured = 0;
    double captureSeconds = 0;
    double convertSeconds = 0;
    // CPU time of the thread that feeds the encoder, spent after x264 on payloading, encrypting
    // and sending.
    double sendSeconds = 0;
    int width = 0;
    int height = 0;
    QString name;
};

// One webrtcbin with a single send-only video transceiver fed by
// appsrc (NV12, wrapped without copy) -> encoder -> payloader.
// Every callback passed in (events and completions) runs on the main thread, and only while the
// owner given to the constructor lives. Methods may be called from any thread unless noted; the
// destructor stops everything.
class WebRtcPipeline {
public:
    struct Events {
        std::function<void(unsigned mline, const QString& candidate)> candidate;
        std::function<void(const QByteArray& message)> message;
        // `gone`: the connection failed, dropped or closed.
        std::function<void(int state, bool gone)> iceState;
        // The phone's data channel closed.
        std::function<void()> channelClosed;
        // The pipeline reported an error: the connection is broken.
        std::function<void()> failed;
    };

    // `loopbackIce` makes the ICE agent use 127.0.0.1, which libnice skips otherwise.
    // `owner` lives on the main thread; nothing is delivered once it is gone.
    WebRtcPipeline(Events events, bool loopbackIce, QObject* owner);
    ~WebRtcPipeline();
    WebRtcPipeline(const WebRtcPipeline&) = delete;
    WebRtcPipeline& operator=(const WebRtcPipeline&) = delete;

    // The factory name of a real-time H.265 encoder (hardware), if the machine has one.
    static std::optional<QString> h265Encoder();

    // Builds the sending branch for `codec` ("H264" or "H265") on `payloadType`, marks the
    // transceiver send-only with NACK/RTX and starts the pipeline. `ready` runs once the payloader's caps have reached webrtcbin, which it needs before answering.
    // False when an element is missing.
    bool prepare(const QString& codec, int payloadType, qint64 startKbps, std::function<void()> ready);

    // Applies the offer and produces the answer: `done(answer, error)` with exactly one set.
    void negotiate(const QString& offer, std::function<void(std::optional<QString>, QString)> done);

    void addCandidate(unsigned mline, const QString& candidate);
    void push(const VideoFramePtr& frame);
    // No frame waits for the encoder, and the one it is encoding (if any) should be done by the
    // time a frame captured now is ready: capturing sooner would only queue it. Any thread.
    bool readyForFrame() const;
    void setBitrate(qint64 kbps);
    // The nominal frame rate given to the encoder (the capture's ceiling).
    void setFrameRate(int fps);
    void requestKeyframe();
    void linkStats(std::function<void(const LinkStats&)> done);
    EncoderStats encoderStats() const;

    // Closes the data channel and stops the pipeline. Idempotent.
    void close();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace core::gst
