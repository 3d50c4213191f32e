#pragma once

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

// A receiving WebRTC peer built from GStreamer's own webrtcbin, as a phone would be: it offers a
// receive-only video section (H.264, VP8, or H.265 before H.264) and a data channel, parses the access
// units that arrive and keeps the size of the last one. (Pixels are checked in Chromium.) ICE runs on loopback. Methods are called on the test thread;
// waits spin the Qt event loop.
class GstReceiver {
public:
    enum class Codec { H264, VP8, H265AndH264 };
    struct Picture {
        int width = 0;
        int height = 0;
        int fps = 0; // the frame rate the stream's parameter sets declare, 0 when they say none
    };

    explicit GstReceiver(Codec codec = Codec::H264);
    ~GstReceiver();

    // The offer text (after the local description is set).
    QString offer();
    void setAnswer(const QString& sdp);
    void addCandidate(int mline, const QString& candidate);
    // Local candidates gathered so far, taken out of the queue.
    std::vector<std::pair<int, QString>> takeCandidates();

    bool channelOpen() const;
    void send(const QString& text);

    int picturesDecoded() const;
    std::optional<Picture> lastPicture() const;

    struct Impl; // GStreamer state, reached from its callbacks

private:
    std::unique_ptr<Impl> d;
};
