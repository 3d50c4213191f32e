#include "Stats.h"

#include <gtest/gtest.h>

using namespace core;

namespace {

const OutboundSample kPrev{100, 0.5, 1000000, 10.0};

OutboundVideo record(double frames)
{
    OutboundVideo video;
    video.framesEncoded = frames;
    video.encodeSeconds = 0.8;
    video.bytesSent = 1250000;
    video.mimeType = QStringLiteral("video/H264");
    return video;
}

} // namespace

TEST(Stats, RatesAgainstThePreviousSample)
{
    const auto [event, sample] = Stats::event(record(160), kPrev, 11.0, 58);
    ASSERT_TRUE(event.sentKbps && event.encodeMs);
    EXPECT_EQ(*event.sentKbps, 2000);
    EXPECT_NEAR(*event.encodeMs, 5.0, 1e-9);
    EXPECT_EQ(event.captureFps, 58);
    EXPECT_EQ(event.codec, QStringLiteral("video/H264"));
    EXPECT_EQ(sample, (OutboundSample{160, 0.8, 1250000, 11.0}));
}

TEST(Stats, StageTimesPerCapturedAndPerEncodedFrame)
{
    // The idle repeat encodes more frames than were captured: capture and conversion are shared
    // by the frames captured, sending by the frames encoded.
    OutboundVideo video = record(160);
    video.framesCaptured = 40;
    video.captureSeconds = 0.2;
    video.convertSeconds = 0.1;
    video.sendSeconds = 0.12;
    OutboundSample prev = kPrev;
    prev.framesCaptured = 20;
    prev.sendSeconds = 0.06;
    const auto [event, sample] = Stats::event(video, prev, 11.0, std::nullopt);
    ASSERT_TRUE(event.captureMs && event.convertMs && event.sendMs);
    EXPECT_NEAR(*event.captureMs, 10.0, 1e-9);
    EXPECT_NEAR(*event.convertMs, 5.0, 1e-9);
    EXPECT_NEAR(*event.sendMs, 1.0, 1e-9);
    EXPECT_EQ(sample->framesCaptured, 40);
}

TEST(Stats, NoEncodeTimeWithoutNewFrames)
{
    const auto [event, sample] = Stats::event(record(100), kPrev, 11.0, std::nullopt);
    EXPECT_FALSE(event.encodeMs);
    EXPECT_EQ(event.sentKbps, 2000);
}

TEST(Stats, NoRatesOnFirstSampleOrWithoutTimePassing)
{
    const auto first = Stats::event(record(160), std::nullopt, 11.0, std::nullopt).first;
    EXPECT_FALSE(first.sentKbps);
    EXPECT_FALSE(first.encodeMs);
    const auto same = Stats::event(record(160), kPrev, 10.0, std::nullopt).first;
    EXPECT_FALSE(same.sentKbps);
    EXPECT_FALSE(same.encodeMs);
}

TEST(Stats, NoRatesAgainstTheCountersOfAnEarlierPeer)
{
    // Either counter going back is enough: the other may have been overtaken already.
    const OutboundSample earlier[] = {
        {5000, 20.0, 90000000, 10.0},
        {5000, 0.5, 1000000, 10.0},
        {100, 0.5, 90000000, 10.0},
    };
    for (const OutboundSample& e : earlier) {
        const auto event = Stats::event(record(160), e, 11.0, std::nullopt).first;
        EXPECT_FALSE(event.sentKbps) << e.framesEncoded << " frames, " << e.bytesSent << " bytes";
        EXPECT_FALSE(event.encodeMs) << e.framesEncoded << " frames, " << e.bytesSent << " bytes";
    }
}

TEST(Stats, LimitIsNamedAndUnknownSizeStaysAbsent)
{
    OutboundVideo video;
    video.targetKbps = 2499;
    video.bandwidthLimited = true;
    const auto [event, sample] = Stats::event(video, std::nullopt, 1.0, std::nullopt);
    EXPECT_EQ(Wire::event(event),
              QByteArray(R"({"codec":"","encoder":"","limit":"bandwidth","targetKbps":2499,"type":"stats"})"));
    EXPECT_EQ(Stats::event(OutboundVideo{}, std::nullopt, 1.0, std::nullopt).first.limit, QStringLiteral("none"));
    EXPECT_EQ(sample, (OutboundSample{0, 0, 0, 1.0}));
}

TEST(Stats, WithoutRecordOnlyCaptureRateAndNoSample)
{
    const auto [event, sample] = Stats::event(std::nullopt, kPrev, 11.0, 30);
    EXPECT_EQ(event.captureFps, 30);
    EXPECT_FALSE(event.codec);
    EXPECT_FALSE(sample);
    EXPECT_EQ(Wire::event(event), QByteArray(R"({"captureFps":30,"type":"stats"})"));
}
