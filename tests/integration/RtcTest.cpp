#include "GstReceiver.h"

#include "RTC.h"
#include "linux/WebRtcPipeline.h"

#include <QCoreApplication>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <vector>

using namespace core;

namespace {

// A synthetic capture frame whose planes are separate allocations with padded strides, as a pool
// might hand them out; Y is `luma` everywhere, UV neutral. Each took 1 ms to capture and 2 ms
// to convert.
VideoFramePtr frame(int width, int height, uint8_t luma, int64_t timestampNs = 1)
{
    struct Owned {
        std::vector<uint8_t> y, uv;
        VideoFrame frame;
    };
    auto owned = std::make_shared<Owned>();
    const int strideY = width + 64, strideUV = width + 32;
    owned->y.assign(size_t(strideY) * height, luma);
    owned->uv.assign(size_t(strideUV) * height / 2, 128);
    owned->frame = VideoFrame{width, height, strideY, strideUV, owned->y.data(), owned->uv.data(), timestampNs,
                              1000000, 2000000};
    return VideoFramePtr(owned, &owned->frame);
}

// Connects the agent's peer with the receiver: answer, then candidates both ways until the data
// channel is open.
struct Connected {
    GstReceiver phone;
    RTC rtc{true};
    std::vector<std::pair<QByteArray, bool>> inputs; // message, delivered on the main thread
    std::optional<QString> answer;
    QString error;

    explicit Connected(GstReceiver::Codec codec = GstReceiver::Codec::H264)
        : phone(codec)
    {
        rtc.onIce = [this](const IceEvent& e) { phone.addCandidate(e.sdpMLineIndex, e.candidate); };
        rtc.onInput = [this](const QByteArray& m) {
            inputs.emplace_back(m, QThread::currentThread() == QCoreApplication::instance()->thread());
        };
    }

    bool negotiate(bool h265 = false)
    {
        bool done = false;
        rtc.answer(phone.offer(), 2000, h265, [&](const std::optional<QString>& sdp, const QString& e) {
            answer = sdp;
            error = e;
            done = true;
        });
        if (!QTest::qWaitFor([&] { return done; }, 15000) || !answer)
            return false;
        phone.setAnswer(*answer);
        return QTest::qWaitFor([&] {
            for (const auto& [mline, candidate] : phone.takeCandidates())
                rtc.addIce(IceParam{candidate, std::nullopt, mline});
            return phone.channelOpen();
        }, 15000);
    }
};

} // namespace

TEST(RtcTest, AnswersConnectsAndDeliversInputOnTheMainThread)
{
    Connected c;
    ASSERT_TRUE(c.negotiate()) << c.error.toStdString();
    EXPECT_EQ(c.rtc.codec(), QStringLiteral("H264"));
    EXPECT_TRUE(c.answer->contains(QLatin1String("a=sendonly")));
    // The offer's H.264 payload type is kept; no other codec is answered.
    EXPECT_TRUE(c.answer->contains(QLatin1String("m=video 9 UDP/TLS/RTP/SAVPF 102")));

    c.phone.send(QStringLiteral(R"({"t":"move","x":0.5,"y":0.5})"));
    c.phone.send(QStringLiteral(R"({"t":"click"})"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return c.inputs.size() == 2; }, 10000));
    EXPECT_EQ(c.inputs[0].first, QByteArray(R"({"t":"move","x":0.5,"y":0.5})"));
    EXPECT_EQ(c.inputs[1].first, QByteArray(R"({"t":"click"})"));
    EXPECT_TRUE(c.inputs[0].second && c.inputs[1].second);
}

TEST(RtcTest, PushedFramesArriveAndAnIdleScreenIsRepeated)
{
    Connected c;
    ASSERT_TRUE(c.negotiate()) << c.error.toStdString();
    c.rtc.apply(4000, 30);
    c.rtc.push(frame(320, 240, 200));
    ASSERT_TRUE(QTest::qWaitFor([&] { return c.phone.lastPicture().has_value(); }, 15000));
    auto picture = *c.phone.lastPicture();
    EXPECT_EQ(picture.width, 320);
    EXPECT_EQ(picture.height, 240);

    // Nothing new is pushed: the peer sends the last picture again, about once a second.
    const int seen = c.phone.picturesDecoded();
    ASSERT_TRUE(QTest::qWaitFor([&] { return c.phone.picturesDecoded() >= seen + 2; }, 10000));

    // A new size is sent as it comes (the encoder follows the frames' caps).
    c.rtc.requestKeyframe();
    c.rtc.push(frame(640, 360, 60, 2));
    ASSERT_TRUE(QTest::qWaitFor([&] {
        auto p = c.phone.lastPicture();
        return p && p->width == 640 && p->height == 360;
    }, 15000));

    // Statistics measured around the encoder.
    std::optional<OutboundVideo> video;
    bool answered = false;
    c.rtc.outboundVideo([&](const std::optional<OutboundVideo>& v) {
        video = v;
        answered = true;
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return answered; }, 10000));
    ASSERT_TRUE(video);
    EXPECT_EQ(video->mimeType, QStringLiteral("video/H264"));
    EXPECT_GE(video->framesEncoded, 3);
    EXPECT_GT(video->encodeSeconds, 0);
    // Where the time went: the repeats of a capture cost no capture of their own.
    EXPECT_EQ(video->framesCaptured, 2);
    EXPECT_NEAR(video->captureSeconds, 0.002, 1e-9);
    EXPECT_NEAR(video->convertSeconds, 0.004, 1e-9);
    EXPECT_GT(video->sendSeconds, 0);
    EXPECT_GT(video->bytesSent, 0);
    EXPECT_EQ(video->width, 640);
    EXPECT_EQ(video->encoder, QStringLiteral("x264enc"));
    // From the start bitrate, adapting toward the ceiling of apply().
    EXPECT_GE(video->targetKbps, 2000);
    EXPECT_LE(video->targetKbps, 4000);
}

TEST(RtcTest, AnOfferWithoutH264IsRefusedInsteadOfAnsweredInactive)
{
    Connected c(GstReceiver::Codec::VP8);
    EXPECT_FALSE(c.negotiate());
    EXPECT_EQ(c.error, QStringLiteral("no common video codec"));
    EXPECT_FALSE(c.rtc.codec());
}

TEST(RtcTest, ClosingDuringTheAnswerStillCompletesItOnce)
{
    GstReceiver phone;
    RTC rtc(true);
    int calls = 0;
    QString error;
    rtc.answer(phone.offer(), 2000, false, [&](const std::optional<QString>& sdp, const QString& e) {
        ++calls;
        error = sdp ? QString() : e;
    });
    rtc.close();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(error, QStringLiteral("no answer"));
    // Whatever webrtcbin still finishes after the close is dropped.
    QTest::qWait(0);
    QCoreApplication::processEvents();
    EXPECT_EQ(calls, 1);
}

TEST(RtcTest, H265IsAnsweredOnlyWithARealTimeEncoderOtherwiseH264)
{
    // Software x265 is too slow for live 1080p; only a hardware (VA-API) encoder counts.
    const bool hardware = gst::WebRtcPipeline::h265Encoder().has_value();
    {
        Connected c(GstReceiver::Codec::H265AndH264);
        ASSERT_TRUE(c.negotiate(true)) << c.error.toStdString();
        EXPECT_EQ(c.rtc.codec(), hardware ? QStringLiteral("H265") : QStringLiteral("H264"));
        c.rtc.push(frame(320, 240, 120));
        ASSERT_TRUE(QTest::qWaitFor([&] { return c.phone.lastPicture().has_value(); }, 15000));
        EXPECT_EQ(c.phone.lastPicture()->width, 320);
    }
    {
        Connected c(GstReceiver::Codec::H265AndH264);
        ASSERT_TRUE(c.negotiate(false)) << c.error.toStdString();
        EXPECT_EQ(c.rtc.codec(), QStringLiteral("H264"));
    }
}
