#include "CapturePacing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace core;
using namespace std::chrono_literals;

namespace {

// One frame per 16 ms; frames at least 12 ms apart.
constexpr auto kInterval = 16ms;

enum class What { sent, owed, changed };

struct Step {
    What what;
    std::chrono::milliseconds at; // from the start
};

struct Case {
    const char* name;
    std::vector<Step> steps;
    std::chrono::milliseconds nextLook; // what the last step returns
};

class CapturePacingTest : public ::testing::TestWithParam<Case> { };

TEST_P(CapturePacingTest, NextLook)
{
    const CapturePacing::Time start{10s};
    CapturePacing pacing(kInterval);
    CapturePacing::Time next = start;
    for (const Step& step : GetParam().steps) {
        // Every look in a case happens when the previous step said it could.
        if (step.what != What::changed) {
            ASSERT_GE(start + step.at, next);
        }
        switch (step.what) {
        case What::sent: next = pacing.sent(start + step.at); break;
        case What::owed: next = pacing.owed(start + step.at); break;
        case What::changed: next = pacing.changed(start + step.at); break;
        }
    }
    EXPECT_EQ(next, start + GetParam().nextLook);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CapturePacingTest,
    ::testing::Values(
        Case{"FirstFrameHoldsTheNextThreeQuartersOfAnInterval", {{What::sent, 0ms}}, 12ms},
        // The look at 12 ms found nothing; the change 8 ms later is captured when it comes, not
        // on the next beat.
        Case{"AChangeAfterAQuietLookIsCapturedAtOnce", {{What::sent, 0ms}, {What::changed, 20ms}}, 20ms},
        Case{"AChangeTooSoonWaitsForTheCeiling", {{What::sent, 0ms}, {What::changed, 5ms}}, 12ms},
        // After a quiet spell: at once, and no burst after it.
        Case{"AfterAQuietSpellTheScheduleStartsAgain", {{What::sent, 0ms}, {What::sent, 500ms}}, 512ms},
        // A source at the ceiling's own rate, one frame a little early or late.
        Case{"ALateFrameMovesTheBeat", {{What::sent, 0ms}, {What::sent, 16ms}, {What::sent, 40ms}}, 52ms},
        // A source at the ceiling's own rate whose third frame came 6 ms late: the fourth waits
        // 2 ms, the ones after it not at all.
        Case{"ALateFrameDoesNotDelayTheOnesAfterIt",
             {{What::sent, 0ms}, {What::sent, 16ms}, {What::sent, 38ms}, {What::sent, 50ms}, {What::sent, 64ms},
              {What::sent, 80ms}},
             92ms},
        // Frames each sent as early as allowed: a short burst, then one per interval.
        Case{"EarlyFramesCannotRunAheadOfTheAverage",
             {{What::sent, 0ms}, {What::sent, 12ms}, {What::sent, 24ms}, {What::sent, 36ms}, {What::sent, 48ms},
              {What::sent, 64ms}},
             80ms},
        Case{"AnOwedFrameIsLookedForOneIntervalOn", {{What::sent, 0ms}, {What::owed, 30ms}}, 46ms}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(CapturePacing, ANewCeilingAppliesFromTheNextFrame)
{
    const CapturePacing::Time start{10s};
    CapturePacing pacing(kInterval);
    pacing.sent(start);
    pacing.setInterval(100ms);
    EXPECT_EQ(pacing.sent(start + 12ms), start + 12ms + 75ms);
}

struct EncoderCase {
    const char* name;
    std::chrono::milliseconds encoding, encodeTakes, captureTakes;
    bool free;
};

class EncoderFreeInTimeTest : public ::testing::TestWithParam<EncoderCase> { };

TEST_P(EncoderFreeInTimeTest, Decides)
{
    const EncoderCase& c = GetParam();
    EXPECT_EQ(encoderFreeInTime(c.encoding, c.encodeTakes, c.captureTakes), c.free);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EncoderFreeInTimeTest,
    ::testing::Values(EncoderCase{"JustStartedAFrame", 1ms, 14ms, 3ms, false},
                      EncoderCase{"DoneWithinACapture", 11ms, 14ms, 3ms, true},
                      EncoderCase{"TakingLongerThanUsual", 20ms, 14ms, 3ms, true},
                      // Capture slower than encoding: the two overlap as before.
                      EncoderCase{"CaptureSlowerThanTheEncoder", 0ms, 5ms, 8ms, true}),
    [](const ::testing::TestParamInfo<EncoderCase>& info) { return std::string(info.param.name); });

} // namespace
