#include "Codecs.h"

#include <QStringList>

#include <gtest/gtest.h>

using namespace core;

namespace {

QString sdp(const QStringList& lines) { return lines.join(QStringLiteral("\r\n")); }

// Video payloads 96 VP8, 97 H265, 98 H264 and 99 repairing 98, with an audio section first.
QString fourPayloadOffer()
{
    return sdp({"v=0", "m=audio 9 UDP/TLS/RTP/SAVPF 111", "a=rtpmap:111 opus/48000/2",
                "m=video 9 UDP/TLS/RTP/SAVPF 96 97 98 99", "a=rtpmap:96 VP8/90000", "a=rtpmap:97 H265/90000",
                "a=rtpmap:98 H264/90000", "a=fmtp:98 packetization-mode=1;profile-level-id=42e01f",
                "a=rtpmap:99 rtx/90000", "a=fmtp:99 apt=98", ""});
}

QString videoLine(const QString& text)
{
    for (const QString& line : text.split(QStringLiteral("\r\n")))
        if (line.startsWith(QLatin1String("m=video ")))
            return line;
    return {};
}

} // namespace

TEST(Codecs, ForcesH264LevelKeepingProfileAndConstraints)
{
    EXPECT_EQ(Codecs::forceH264Level(QStringLiteral("a=fmtp:98 packetization-mode=1;profile-level-id=42e01f")),
              QStringLiteral("a=fmtp:98 packetization-mode=1;profile-level-id=42e034"));
    // Every occurrence, any hex case; shorter ids are left alone.
    EXPECT_EQ(Codecs::forceH264Level(QStringLiteral("profile-level-id=4D001F x profile-level-id=640c1f y profile-level-id=42e0")),
              QStringLiteral("profile-level-id=4D0034 x profile-level-id=640c34 y profile-level-id=42e0"));
}

TEST(Codecs, OfferWithoutVideoIsUnchanged)
{
    const QString offer = sdp({"v=0", "m=audio 9 UDP/TLS/RTP/SAVPF 111", "a=rtpmap:111 opus/48000/2",
                               "m=application 9 UDP/DTLS/SCTP webrtc-datachannel", ""});
    EXPECT_EQ(Codecs::preferInOffer(offer, true), offer);
    EXPECT_EQ(Codecs::preferInOffer(offer, false), offer);
}

TEST(Codecs, ReordersVideoPayloadsWithRetransmissionFollowingItsCodec)
{
    const QString offer = fourPayloadOffer();
    EXPECT_EQ(videoLine(Codecs::preferInOffer(offer, true)), QStringLiteral("m=video 9 UDP/TLS/RTP/SAVPF 97 98 99 96"));
    EXPECT_EQ(videoLine(Codecs::preferInOffer(offer, false)), QStringLiteral("m=video 9 UDP/TLS/RTP/SAVPF 98 99 96 97"));
    // Only the video line changes.
    QString back = Codecs::preferInOffer(offer, false);
    back.replace(QStringLiteral("98 99 96 97"), QStringLiteral("96 97 98 99"));
    EXPECT_EQ(back, offer);
}

TEST(Codecs, ReorderingNormalisesSpacesAndKeepsUnknownPayloadsLast)
{
    const QString offer = sdp({"m=video  9 RTP/AVP  100 98", "a=rtpmap:98 H264/90000"});
    EXPECT_EQ(videoLine(Codecs::preferInOffer(offer, true)), QStringLiteral("m=video 9 RTP/AVP 98 100"));
}

TEST(Codecs, NamesCompareExactly)
{
    EXPECT_EQ(Codecs::rank(QStringLiteral("h264"), true), 2);
    EXPECT_EQ(Codecs::rank(QStringLiteral("H264"), true), 1);
    EXPECT_EQ(Codecs::rank(QStringLiteral("H265"), true), 0);
    EXPECT_EQ(Codecs::rank(QStringLiteral("H265"), false), 2);
    EXPECT_EQ(Codecs::rank(QString(), false), 2);
}

TEST(Codecs, PreferredIsAStableSortOfAnyList)
{
    const std::vector<QString> caps{"VP8", "H265", "VP9", "H264", "AV1"};
    auto self = [](const QString& s) { return s; };
    EXPECT_EQ(Codecs::preferred(caps, true, self), (std::vector<QString>{"H265", "H264", "VP8", "VP9", "AV1"}));
    EXPECT_EQ(Codecs::preferred(caps, false, self), (std::vector<QString>{"H264", "VP8", "H265", "VP9", "AV1"}));
}

TEST(Codecs, NegotiatedCodecIsTheFirstVideoPayload)
{
    const QString answer = sdp({"v=0", "m=video 9 UDP/TLS/RTP/SAVPF 98 99", "a=rtpmap:99 rtx/90000",
                                "a=rtpmap:98 H264/90000", ""});
    EXPECT_EQ(Codecs::negotiated(answer), QStringLiteral("H264"));
    EXPECT_EQ(Codecs::negotiated(sdp({"m=video 9 UDP/TLS/RTP/SAVPF"})), std::nullopt);
    EXPECT_EQ(Codecs::negotiated(sdp({"m=video 9 UDP/TLS/RTP/SAVPF 98", "a=rtpmap:99 VP8/90000"})), std::nullopt);
    EXPECT_EQ(Codecs::negotiated(sdp({"m=audio 9 RTP/AVP 0", "a=rtpmap:0 PCMU/8000"})), std::nullopt);
    // "a=rtpmap:9 " must not match payload 98.
    EXPECT_EQ(Codecs::negotiated(sdp({"m=video 9 RTP/AVP 9", "a=rtpmap:98 H264/90000", "a=rtpmap:9 VP8/90000"})),
              QStringLiteral("VP8"));
}

TEST(Codecs, H264CapsEdgeAndFrameRate)
{
    const std::optional<QString> h264 = QStringLiteral("H264");
    EXPECT_EQ(Codecs::effectiveEdge(0, h264), 3840);
    EXPECT_EQ(Codecs::effectiveEdge(2560, h264), 2560);
    EXPECT_EQ(Codecs::effectiveEdge(5120, h264), 3840);
    EXPECT_EQ(Codecs::effectiveFps(120, h264), 60);
    EXPECT_EQ(Codecs::effectiveFps(30, h264), 30);
    EXPECT_EQ(Codecs::effectiveEdge(0, QStringLiteral("H265")), 0);
    EXPECT_EQ(Codecs::effectiveFps(120, QStringLiteral("H265")), 120);
    EXPECT_EQ(Codecs::effectiveEdge(5120, std::nullopt), 5120);
}

TEST(Codecs, ReadsVideoPayloadsOfTheFirstVideoSectionOnly)
{
    const QString offer = sdp({"m=video 9 UDP/TLS/RTP/SAVPF 102 103 104", "a=rtpmap:102 H264/90000",
                               "a=fmtp:102 level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=42e034",
                               "a=rtpmap:103 rtx/90000", "a=fmtp:103 apt=102", "a=rtpmap:104 H264/90000",
                               "a=fmtp:104 packetization-mode=0;profile-level-id=42e034",
                               "m=video 9 UDP/TLS/RTP/SAVPF 105", "a=rtpmap:105 VP8/90000", ""});
    const auto payloads = Codecs::videoPayloads(offer);
    ASSERT_EQ(payloads.size(), 3u);
    EXPECT_EQ(payloads[0].type, 102);
    EXPECT_EQ(payloads[0].codec, QStringLiteral("H264"));
    EXPECT_EQ(payloads[0].clockRate, 90000);
    EXPECT_TRUE(Codecs::isConstrainedBaselineH264(payloads[0]));
    EXPECT_EQ(payloads[1].repairs, 102);
    EXPECT_FALSE(Codecs::isConstrainedBaselineH264(payloads[1]));
    EXPECT_FALSE(Codecs::isConstrainedBaselineH264(payloads[2])); // packetization mode 0
}

TEST(Codecs, ConstrainedBaselineNeedsTheConstraintFlag)
{
    auto h264 = [](const char* id) {
        return Codecs::Payload{96, "H264", 90000, QStringLiteral("packetization-mode=1;profile-level-id=") + id, {}};
    };
    EXPECT_TRUE(Codecs::isConstrainedBaselineH264(h264("42c01f")));
    EXPECT_TRUE(Codecs::isConstrainedBaselineH264(h264("42e034")));
    EXPECT_FALSE(Codecs::isConstrainedBaselineH264(h264("42001f")));
    EXPECT_FALSE(Codecs::isConstrainedBaselineH264(h264("4d001f")));
    EXPECT_FALSE(Codecs::isConstrainedBaselineH264(h264("640c1f")));
}

TEST(Codecs, ConstrainedBaselineNeedsASixDigitProfileLevelId)
{
    for (const char* fmtp : {"packetization-mode=1;profile-level-id=42e01f00", "packetization-mode=1;profile-level-id=42e01",
                             "packetization-mode=1"})
        EXPECT_FALSE(Codecs::isConstrainedBaselineH264(Codecs::Payload{96, "H264", 90000, fmtp, {}})) << fmtp;
}

TEST(Codecs, VideoSectionWithoutAttributesTakesNoneFromTheNextSection)
{
    const auto payloads = Codecs::videoPayloads(sdp({"m=video 9 UDP/TLS/RTP/SAVPF 96", "m=audio 9 UDP/TLS/RTP/SAVPF 96",
                                                     "a=rtpmap:96 opus/48000/2", "a=fmtp:96 apt=97", ""}));
    ASSERT_EQ(payloads.size(), 1u);
    EXPECT_EQ(payloads[0].type, 96);
    EXPECT_EQ(payloads[0].codec, QString());
    EXPECT_EQ(payloads[0].clockRate, 0);
    EXPECT_EQ(payloads[0].fmtp, QString());
    EXPECT_EQ(payloads[0].repairs, std::nullopt);
}

TEST(Codecs, ChoosesH265OnlyWhenAllowedThenConstrainedBaselineH264)
{
    // As a browser offers after preferInOffer: H265 first, then H.264 variants, then the rest.
    const QString offer = Codecs::preferInOffer(
        Codecs::forceH264Level(sdp({"m=video 9 UDP/TLS/RTP/SAVPF 96 100 102 104 106", "a=rtpmap:96 VP8/90000",
                                    "a=rtpmap:100 H264/90000", "a=fmtp:100 packetization-mode=1;profile-level-id=42001f",
                                    "a=rtpmap:102 H264/90000", "a=fmtp:102 packetization-mode=0;profile-level-id=42e01f",
                                    "a=rtpmap:104 H264/90000", "a=fmtp:104 packetization-mode=1;profile-level-id=42e01f",
                                    "a=rtpmap:106 H265/90000", ""})),
        true);
    const auto payloads = Codecs::videoPayloads(offer);
    EXPECT_EQ(Codecs::choose(payloads, true)->type, 106);
    const auto h264 = Codecs::choose(payloads, false);
    ASSERT_TRUE(h264);
    EXPECT_EQ(h264->type, 104); // baseline (100) and packetization mode 0 (102) do not fit the encoder
    EXPECT_EQ(h264->param(QStringLiteral("profile-level-id")), QStringLiteral("42e034"));

    const auto vp8Only = Codecs::videoPayloads(sdp({"m=video 9 UDP/TLS/RTP/SAVPF 96", "a=rtpmap:96 VP8/90000", ""}));
    EXPECT_FALSE(Codecs::choose(vp8Only, true));
}
